# The 2D channel view: its display-free parts (core), then its window (GUI).
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogViewData.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewFormat.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewLayout.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSettings.cpp
     ${CMAKE_CURRENT_LIST_DIR}/curveRaster.cpp)
list(APPEND QV_GUI_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/analogView.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewDraw.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewModes.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewPaint.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewParametric.cpp
     ${CMAKE_CURRENT_LIST_DIR}/analogViewSpectra.cpp
     ${CMAKE_CURRENT_LIST_DIR}/batteryPictures.cpp
     ${CMAKE_CURRENT_LIST_DIR}/myButton.cpp)

# The view draws its curve layers straight through cairo, the toolkit's
# renderer. qv_gui is made after this file is read: the link waits for it.
if(QV_BUILD_GUI)
  pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
  function(qv_analog_view_link_cairo)
    if(TARGET qv_gui)
      target_link_libraries(qv_gui PRIVATE PkgConfig::CAIRO)
      target_compile_definitions(qv_gui PRIVATE QV_HAVE_CAIRO=1)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL qv_analog_view_link_cairo)
endif()
