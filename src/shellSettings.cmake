# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameConfig.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameSettingsGrid.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameSettingsChange.cpp
)
