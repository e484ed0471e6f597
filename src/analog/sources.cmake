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
list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/analogViewData.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogView.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewDraw.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewModes.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewPaint.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewParametric.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSpectra.cpp
     ${CMAKE_CURRENT_LIST_DIR}/batteryPictures.cpp
     ${CMAKE_CURRENT_LIST_DIR}/myButton.cpp)
