# Windows: the registry compatibility layer, device notifications and the file
# work. The Windows-wide defines live here only, so no source repeats them.
target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/appcompat_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/devicenotify_win.h
    ${CMAKE_CURRENT_LIST_DIR}/devicenotify_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/windevicesource.h
    ${CMAKE_CURRENT_LIST_DIR}/windevicesource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/winfs_core_win.h
    ${CMAKE_CURRENT_LIST_DIR}/winfs_core_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/winfs_win.h
    ${CMAKE_CURRENT_LIST_DIR}/winfs_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fileops_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filehandle_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filecopy_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/processtree_win.cpp)
target_compile_definitions(quor_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
target_link_libraries(quor_core PUBLIC advapi32 user32)
