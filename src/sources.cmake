# The application: main frame and entry point (QV_GUI_SOURCES, QV_APP_SOURCES).
