# Multi-board decisions without widgets: device filter, port listing, port
# tracking, the run log and the per-line output decisions.
target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/portrecord.h ${CMAKE_CURRENT_LIST_DIR}/portrecord.cpp
    ${CMAKE_CURRENT_LIST_DIR}/devicefilter.h ${CMAKE_CURRENT_LIST_DIR}/devicefilter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/multiplexlog.h ${CMAKE_CURRENT_LIST_DIR}/multiplexlog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/portlisting.h ${CMAKE_CURRENT_LIST_DIR}/portlisting.cpp
    ${CMAKE_CURRENT_LIST_DIR}/porttracker.h ${CMAKE_CURRENT_LIST_DIR}/porttracker.cpp
    ${CMAKE_CURRENT_LIST_DIR}/boardoutput.h ${CMAKE_CURRENT_LIST_DIR}/boardoutput.cpp
    ${CMAKE_CURRENT_LIST_DIR}/silencewatchdog.h ${CMAKE_CURRENT_LIST_DIR}/silencewatchdog.cpp)
