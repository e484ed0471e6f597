# The 2D channel view: its display-free parts (core), then its window (GUI).
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogViewData.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewFormat.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewLayout.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewPlacement.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSettings.cpp
     ${CMAKE_CURRENT_LIST_DIR}/curveRaster.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogView.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewDraw.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewModes.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewPaint.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewParametric.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewRepaint.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSpectra.cpp
     ${CMAKE_CURRENT_LIST_DIR}/batteryPictures.cpp
     ${CMAKE_CURRENT_LIST_DIR}/myButton.cpp)
