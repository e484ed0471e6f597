# wx-config gives the flags of each layer: the core links the base libraries
# only (no display), the GUI library the windowing ones.
find_program(WX_CONFIG wx-config REQUIRED)

function(qv_wx_target name cxxflags_args libs_args)
  execute_process(COMMAND ${WX_CONFIG} ${cxxflags_args} OUTPUT_VARIABLE flags
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${WX_CONFIG} ${libs_args} OUTPUT_VARIABLE libs
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(libs UNIX_COMMAND "${libs}")
  set(dirs "")
  set(defs "")
  set(opts "")
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-I(.*)")
      list(APPEND dirs "${CMAKE_MATCH_1}")
    elseif(flag STREQUAL "-DwxUSE_GUI=0")
      # Set per target by qv_core_layer(): GUI targets include the same headers.
    elseif(flag MATCHES "^-D(.*)")
      list(APPEND defs "${CMAKE_MATCH_1}")
    else()
      list(APPEND opts "${flag}")
    endif()
  endforeach()
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${name} SYSTEM INTERFACE ${dirs})
  target_compile_definitions(${name} INTERFACE ${defs})
  target_compile_options(${name} INTERFACE ${opts})
  target_link_libraries(${name} INTERFACE ${libs})
endfunction()

qv_wx_target(qv::wxbase "--cxxflags;base" "--libs;base,net")
qv_wx_target(qv::wxgui "--cxxflags" "--libs;std,gl,aui,propgrid")

# Marks a target as part of the display-free layer: wx refuses GUI headers there.
function(qv_core_layer target)
  target_compile_definitions(${target} PRIVATE wxUSE_GUI=0)
endfunction()
