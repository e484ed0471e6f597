# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameViews.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewGrid.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewGridChange.cpp
)
