# Installs the build into a fresh prefix and builds the README's simulator
# example against that prefix alone, as a forwarder author would: once with
# find_package(crx) and crx::crx-sim, once with pkg-config crx-sim. Both
# programs run the example on a configuration file. Inputs: BUILD_DIR,
# WORK_DIR, APP_DIR, SOURCE_DIR, CONFIG (the file the example reads),
# LIBDIR, CXX_COMPILER and APP_FLAGS (extra compiler flags, such as the
# sanitizers of the build).

include(${CMAKE_CURRENT_LIST_DIR}/install_prefix.cmake)
set(expected ${LIBDIR}/libcrx-sim.a ${LIBDIR}/libcrx_static.a ${LIBDIR}/pkgconfig/crx-sim.pc
             include/crx-sim/platform/os.h)
file(GLOB sim_headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/sim/*.h)
foreach(h ${sim_headers})
  list(APPEND expected include/crx-sim/${h})
endforeach()
foreach(f ${expected})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The example as the README prints it: its includes, then its statements.
file(READ ${SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "### Testing your own forwarder against the simulator" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md has no simulator section")
endif()
string(SUBSTRING "${readme}" ${at} -1 section)
string(FIND "${section}" "```cpp\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "the simulator section has no C++ example")
endif()
math(EXPR start "${start} + 7")
string(SUBSTRING "${section}" ${start} -1 section)
string(FIND "${section}" "```" end)
string(SUBSTRING "${section}" 0 ${end} example)
string(REGEX MATCHALL "#include [^\n]*" includes "${example}")
string(REPLACE ";" "\n" includes "${includes}")
string(REGEX REPLACE "#include [^\n]*\n" "" body "${example}")
set(snippet_dir ${WORK_DIR}/snippet)
file(WRITE ${snippet_dir}/snippet_includes.inc "${includes}\n")
file(WRITE ${snippet_dir}/snippet_body.inc "${body}")

# find_package and the imported target
run_step("configure with find_package" ${CMAKE_COMMAND} -S ${APP_DIR} -B ${WORK_DIR}/app-build
         -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${APP_FLAGS}"
         -DSNIPPET_DIR=${snippet_dir} -DCMAKE_BUILD_TYPE=Debug)
run_step("build with find_package" ${CMAKE_COMMAND} --build ${WORK_DIR}/app-build)

# pkg-config
run_step("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig
         pkg-config --cflags --libs crx-sim)
string(STRIP "${step_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_step("compile with pkg-config" ${CXX_COMPILER} -std=c++20 ${app_flags} -I${snippet_dir}
         ${APP_DIR}/forwarder.cpp ${pc_flags} -o ${WORK_DIR}/forwarder-pkgconfig)

foreach(app ${WORK_DIR}/app-build/forwarder ${WORK_DIR}/forwarder-pkgconfig)
  run_step("run ${app}" ${app} ${CONFIG})
  if(NOT step_output STREQUAL "configured\n")
    message(FATAL_ERROR "${app} printed: ${step_output}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
