# Single-board run: staging, copy, output decisions, run log and the animation
# clock need no widgets (core); the run object drives widgets (window library).
target_sources(quor_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/staging.h ${CMAKE_CURRENT_LIST_DIR}/staging.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filecopy.h
    ${CMAKE_CURRENT_LIST_DIR}/singleoutput.h ${CMAKE_CURRENT_LIST_DIR}/singleoutput.cpp
    ${CMAKE_CURRENT_LIST_DIR}/runlog.h ${CMAKE_CURRENT_LIST_DIR}/runlog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mythread.h ${CMAKE_CURRENT_LIST_DIR}/mythread.cpp)
target_sources(quor_gui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/singleboardrun.h ${CMAKE_CURRENT_LIST_DIR}/singleboardrun.cpp)
