# The windows. Every app/*.cpp and *.h belongs here except the window-free thread units
# (target grafimo_threads) and main.cpp; windows added later are picked up by the glob.
file(GLOB GRAFIMO_UI_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
list(FILTER GRAFIMO_UI_SOURCES EXCLUDE REGEX
  "/(Readthread|Oproskanala|Protokolthead|main)\\.cpp$")
add_library(grafimo_ui STATIC ${GRAFIMO_UI_SOURCES})
target_include_directories(grafimo_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(grafimo_ui PUBLIC grafimo_session grafimo_threads grafimo_platform_qt Qt6::Widgets)
set_target_properties(grafimo_ui PROPERTIES AUTOMOC ON)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  add_executable(grafimo485 ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  target_link_libraries(grafimo485 PRIVATE grafimo_ui)
endif()

# The chart benchmark needs the windows, so it is built here rather than with the
# window-free benches; it lands beside them.
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/bench_addpoint.cpp)
  add_executable(bench_addpoint ${PROJECT_SOURCE_DIR}/bench/bench_addpoint.cpp)
  target_link_libraries(bench_addpoint PRIVATE grafimo_ui Qt6::Test)
  set_target_properties(bench_addpoint PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endif()
