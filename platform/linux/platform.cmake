target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/appcompat_none.cpp
    ${CMAKE_CURRENT_LIST_DIR}/platformdevicesource_linux.cpp)
