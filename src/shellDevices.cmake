# Main frame: files of this group (QV_GUI_SOURCES / QV_APP_SOURCES).
