# Files of src/analog. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/colour.cpp
     ${CMAKE_CURRENT_LIST_DIR}/formatTime.cpp)






# The 2D channel view: its display-free parts, then its window.
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogViewFormat.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewLayout.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSettings.cpp)
