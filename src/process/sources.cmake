# Files of src/process. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/sampleBuffer.cpp)
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
     ${CMAKE_CURRENT_LIST_DIR}/lockMutex.cpp
     ${CMAKE_CURRENT_LIST_DIR}/messageQueue.cpp
     ${CMAKE_CURRENT_LIST_DIR}/networkServices.cpp
     ${CMAKE_CURRENT_LIST_DIR}/dailyLog.cpp
     ${CMAKE_CURRENT_LIST_DIR}/device.cpp
     ${CMAKE_CURRENT_LIST_DIR}/deviceCloser.cpp
     ${CMAKE_CURRENT_LIST_DIR}/devicePacing.cpp
     ${CMAKE_CURRENT_LIST_DIR}/trackerWorker.cpp
     ${CMAKE_CURRENT_LIST_DIR}/triggerCrossings.cpp
     ${CMAKE_CURRENT_LIST_DIR}/trackerWorkerGroup.cpp)
