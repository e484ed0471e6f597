# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
# Settings tables, rules and window placement need no display.
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/configTable.cpp
     ${CMAKE_CURRENT_LIST_DIR}/configPlacement.cpp
     ${CMAKE_CURRENT_LIST_DIR}/configShared.cpp
     ${CMAKE_CURRENT_LIST_DIR}/settingsFile.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameSettingsRules.cpp
)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameConfig.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameSettingsGrid.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameSettingsChange.cpp
)
