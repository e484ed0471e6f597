# Files of src/analog. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/analogView.cmake)  # the 2D channel view
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogDevice.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogDispatch.cpp
     ${CMAKE_CURRENT_LIST_DIR}/colour.cpp
     ${CMAKE_CURRENT_LIST_DIR}/formatTime.cpp
     ${CMAKE_CURRENT_LIST_DIR}/sourceWatch.cpp
     ${CMAKE_CURRENT_LIST_DIR}/testDevice.cpp)
# Recording: file format, writers, controller, reader and file player.
list(APPEND QV_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/recordFormat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/textExport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogThreadWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordSync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordSource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogFileDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordSettings.cpp
)
