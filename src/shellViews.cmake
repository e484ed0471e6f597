# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
# View pages, the view grid and its changes; the grid's table is display-free.
list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/frameViewGridModel.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/frameViews.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewGrid.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewGridChange.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewGridFill.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewPages.cpp
     ${CMAKE_CURRENT_LIST_DIR}/frameViewChange.cpp
)
