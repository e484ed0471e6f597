# The OpenGL canvas, the tracker view and the OpenGL report: their display-free
# parts (core), then their windows and GL code (GUI).
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/canvasSettings.cpp
     ${CMAKE_CURRENT_LIST_DIR}/sensor3D.cpp
     ${CMAKE_CURRENT_LIST_DIR}/trackerViewData.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/glInfo.cpp
     ${CMAKE_CURRENT_LIST_DIR}/glutText.cpp
     ${CMAKE_CURRENT_LIST_DIR}/sensor3DDraw.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wx3DWindow.cpp
     ${CMAKE_CURRENT_LIST_DIR}/wx3DWindowInput.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analog3DView.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analog3DViewDraw.cpp)
