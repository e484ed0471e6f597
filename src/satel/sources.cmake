# Files of src/satel. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/satel_device.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_setup.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_frames.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_line.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_line_measure.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_framing.cpp
     ${CMAKE_CURRENT_LIST_DIR}/satel_accounting.cpp)
