# Image package unpacking: the extractor and its stamp in core, its progress dialog in the window library.
target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/packageextractor.h ${CMAKE_CURRENT_LIST_DIR}/packageextractor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/packagestamp.h ${CMAKE_CURRENT_LIST_DIR}/packagestamp.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sha256.h)
if(WIN32)
    # No libcrypto in the Windows build: Qt's hash serves.
    target_sources(quor_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sha256_qt.cpp)
else()
    # libcrypto gives the package's SHA-256 (at several times the speed of QCryptographicHash).
    # GLOBAL: quor_core is defined in the top folder, which must see the target too.
    pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET GLOBAL libcrypto)
    target_sources(quor_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sha256_openssl.cpp)
    target_link_libraries(quor_core PRIVATE PkgConfig::LIBCRYPTO)
endif()
target_sources(quor_gui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/unpackprogress.h ${CMAKE_CURRENT_LIST_DIR}/unpackprogress.cpp)
