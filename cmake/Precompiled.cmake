# Headers most files of a target include, parsed once per target instead of once
# per file: the wxWidgets and test framework headers are most of each file's
# compile time.
set(QV_PCH_BASE <algorithm> <atomic> <chrono> <cmath> <cstdint> <cstring> <functional>
    <memory> <mutex> <string> <thread> <vector> <wx/string.h> <wx/log.h> <wx/intl.h>
    <wx/filename.h> <wx/confbase.h>)
set(QV_PCH_GUI <wx/wx.h> <wx/aui/aui.h> <wx/propgrid/propgrid.h> <wx/graphics.h>)

function(qv_precompiled target layer)
  if(NOT QV_PRECOMPILED_HEADERS)
    return()
  endif()
  set(headers ${QV_PCH_BASE})
  if(layer STREQUAL "gui")
    list(APPEND headers ${QV_PCH_GUI})
  endif()
  foreach(extra IN LISTS ARGN)
    list(APPEND headers ${extra})
  endforeach()
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
