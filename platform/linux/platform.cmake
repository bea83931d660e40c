target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/appcompat_none.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fileops_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filehandle_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filecopy_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/processtree_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/platformdevicesource_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/udevdevicesource.h
    ${CMAKE_CURRENT_LIST_DIR}/udevdevicesource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/usbinterfacename.h
    ${CMAKE_CURRENT_LIST_DIR}/usbinterfacename.cpp)

# Access rule for the download device, read by udev from <prefix>/lib/udev/rules.d.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/60-quor-usb-dl.rules DESTINATION lib/udev/rules.d)
