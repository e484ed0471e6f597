# Files of src/wii. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/wiiReports.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiLink.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiRemote.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiHidSource.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiPlatform.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiLayer.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wiiDevice.cpp)
