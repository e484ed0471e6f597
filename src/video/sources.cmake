# Files of src/video. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
# The camera device: frame sources, the device, the hand-pose overlay.
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameSource.cpp
     ${CMAKE_CURRENT_LIST_DIR}/videoIo.cpp
     ${CMAKE_CURRENT_LIST_DIR}/handPose.cpp
     ${CMAKE_CURRENT_LIST_DIR}/videoFile.cpp
     ${CMAKE_CURRENT_LIST_DIR}/videoFinisher.cpp
     ${CMAKE_CURRENT_LIST_DIR}/VideoDevice.cpp)
# OpenCV's video module, loaded when a camera or a video file is first opened.
set(QV_VIDEO_IO_SOURCES ${CMAKE_CURRENT_LIST_DIR}/videoIoModule.cpp)
# The camera view and the frame conversion into bitmaps.
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/videoBitmap.cpp
     ${CMAKE_CURRENT_LIST_DIR}/VideoView.cpp)
