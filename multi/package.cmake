# Image package unpacking: the extractor in core, its progress dialog in the window library.
target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/packageextractor.h ${CMAKE_CURRENT_LIST_DIR}/packageextractor.cpp)
target_sources(quor_gui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/unpackprogress.h ${CMAKE_CURRENT_LIST_DIR}/unpackprogress.cpp)
