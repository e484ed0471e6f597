# Files of src/Bird. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/fob_wire.cpp
     ${CMAKE_CURRENT_LIST_DIR}/fob.cpp
     ${CMAKE_CURRENT_LIST_DIR}/fob_device.cpp)
