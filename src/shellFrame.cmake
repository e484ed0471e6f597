# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/streamCapture.cpp
     ${CMAKE_CURRENT_LIST_DIR}/stopSignals.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/DravonetMain.cpp
     ${CMAKE_CURRENT_LIST_DIR}/DravonetApp.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameMessages.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameMenus.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameToolbars.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameIdle.cpp
     ${CMAKE_CURRENT_LIST_DIR}/coveredPaintFilter.cpp
     ${CMAKE_CURRENT_LIST_DIR}/aboutBox.cpp
     ${CMAKE_CURRENT_LIST_DIR}/appIcons.cpp
     ${CMAKE_CURRENT_LIST_DIR}/checkBoxComboPopup.cpp)
list(APPEND QV_APP_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
