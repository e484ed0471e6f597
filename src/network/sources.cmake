# Files of src/network. Core files (no display) go to QV_CORE_SOURCES, window files
# to QV_GUI_SOURCES, e.g. list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/name.cpp)
list(APPEND QV_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/oscDataServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscServerSettings.cpp)
list(APPEND QV_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/liveNetworkServices.cpp)
list(APPEND QV_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/vrpnWire.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vrpnLink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vrpnServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vrpnServerModule.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vrpnClient.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vrpnDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscClientSettings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscConnection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/oscTrigger.cpp)
