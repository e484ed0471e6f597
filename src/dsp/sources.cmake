# Files of src/dsp. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/runningMoments.cpp
     ${CMAKE_CURRENT_LIST_DIR}/cpStat.cpp
     ${CMAKE_CURRENT_LIST_DIR}/spectrumLevels.cpp
     ${CMAKE_CURRENT_LIST_DIR}/dsp.cpp)
# The per-bin loops vectorise only when sqrt need not set errno, compares may
# be turned into selects (no floating-point traps are used) and the vectoriser
# may add a remainder loop. None of these changes a rounded result. The options
# differ from the target's, so the target's precompiled headers cannot serve it.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/spectrumLevels.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-math-errno;-fno-trapping-math;-fvect-cost-model=dynamic"
  SKIP_PRECOMPILE_HEADERS ON)
