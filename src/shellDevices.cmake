# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameDevices.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameClose.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameOscClients.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameOpenCommands.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameWii.cpp
)
