# Debian's per-module OpenCV packages ship headers and libraries but no CMake or
# pkg-config files, so the modules the camera code uses are found one by one.
# The video module (qv::opencv_videoio) is linked by the module the program loads
# when it first opens a camera or a video file, never by the program itself.
find_path(QV_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(qv::opencv INTERFACE IMPORTED GLOBAL)
target_include_directories(qv::opencv SYSTEM INTERFACE ${QV_OPENCV_INCLUDE_DIR})
foreach(module core imgproc dnn)
  find_library(QV_OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  target_link_libraries(qv::opencv INTERFACE ${QV_OPENCV_${module}_LIBRARY})
endforeach()
find_library(QV_OPENCV_videoio_LIBRARY opencv_videoio REQUIRED)
add_library(qv::opencv_videoio INTERFACE IMPORTED GLOBAL)
target_link_libraries(qv::opencv_videoio INTERFACE qv::opencv ${QV_OPENCV_videoio_LIBRARY})
