# Capture control of the main frame: capture set, capture run, file list,
# count-down. The file and trigger-wait helpers need no display.
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/captureFiles.cpp
     ${CMAKE_CURRENT_LIST_DIR}/captureTriggerWait.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/countdownDialog.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameFileList.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameCaptureSet.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameCaptureRun.cpp)
