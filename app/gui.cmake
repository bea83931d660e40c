target_sources(quor_gui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/windowfactory.h ${CMAKE_CURRENT_LIST_DIR}/windowfactory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/quor_combine.h ${CMAKE_CURRENT_LIST_DIR}/quor_combine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/quor_combine.ui)
