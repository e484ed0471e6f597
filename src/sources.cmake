# The application: main frame and entry point. Each group of the frame's work
# lists its files in its own fragment (QV_GUI_SOURCES; main() in QV_APP_SOURCES).
foreach(fragment shellFrame shellSettings shellViews shellCapture shellDevices)
  include(${CMAKE_CURRENT_LIST_DIR}/${fragment}.cmake)
endforeach()
