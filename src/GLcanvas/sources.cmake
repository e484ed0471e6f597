# Files of src/GLcanvas. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/canvas.cmake)  # canvas, tracker view, GL report
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/arrayMath.cpp
     ${CMAKE_CURRENT_LIST_DIR}/vector3.cpp
     ${CMAKE_CURRENT_LIST_DIR}/matrix4.cpp
     ${CMAKE_CURRENT_LIST_DIR}/quaternion.cpp
     ${CMAKE_CURRENT_LIST_DIR}/lookAt.cpp
     ${CMAKE_CURRENT_LIST_DIR}/cameraMath.cpp
     ${CMAKE_CURRENT_LIST_DIR}/configDouble.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/glCamera.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glCameraIO.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glShapes.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glTeapot.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glMeshes.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glAxes.cpp)
