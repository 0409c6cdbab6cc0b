# Installs the build into a fresh prefix and builds an application against
# it twice, once through pkg-config and once through find_package(crx), then
# runs both. Inputs: BUILD_DIR, WORK_DIR, APP_DIR, LIBDIR, C_COMPILER and
# APP_FLAGS (extra compiler flags, such as the sanitizers of the build).

include(${CMAKE_CURRENT_LIST_DIR}/install_prefix.cmake)
foreach(f include/crx.h ${LIBDIR}/pkgconfig/crx.pc ${LIBDIR}/cmake/crx/crxConfig.cmake bin/pkgstate bin/crxfwd
          bin/crxfwd-sim lib/systemd/system/crxfwd.service)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# pkg-config
run_step("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig
         pkg-config --cflags --libs crx)
string(STRIP "${step_output}" pc_flags)
string(FIND "${pc_flags}" "-I${prefix}/include" has_include)
string(FIND "${pc_flags}" "-L${libdir}" has_libdir)
if(has_include EQUAL -1 OR has_libdir EQUAL -1)
  message(FATAL_ERROR "crx.pc does not name the install prefix: ${pc_flags}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_step("compile with pkg-config" ${C_COMPILER} ${app_flags} ${APP_DIR}/app.c ${pc_flags}
         -o ${WORK_DIR}/app-pkgconfig)

# A static link is offered only with a static library to link.
foreach(kind shared static)
  set(option "")
  if(kind STREQUAL "static")
    set(option --static)
  endif()
  run_step("pkg-config ${option}" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig
           pkg-config ${option} --libs crx)
  string(STRIP "${step_output}" ${kind}_libs)
endforeach()
if(NOT static_libs STREQUAL shared_libs AND NOT EXISTS ${libdir}/libcrx.a)
  message(FATAL_ERROR "crx.pc offers a static link (${static_libs}) but no libcrx.a is installed")
endif()

# Installed programs find the installed library through their run path.
foreach(program ifhwaddr sidemon crxfwd)
  if(EXISTS ${prefix}/bin/${program})
    run_step("loading ${program}" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1
             ${prefix}/bin/${program})
    string(FIND "${step_output}" "libcrx.so.4 => ${prefix}/" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${program} does not find the installed library:\n${step_output}")
    endif()
  endif()
endforeach()

# find_package
run_step("configure with find_package" ${CMAKE_COMMAND} -S ${APP_DIR} -B ${WORK_DIR}/app-build
         -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${APP_FLAGS}")
run_step("build with find_package" ${CMAKE_COMMAND} --build ${WORK_DIR}/app-build)

foreach(app ${WORK_DIR}/app-pkgconfig ${WORK_DIR}/app-build/app)
  run_step("run ${app}" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${app})
  if(NOT step_output STREQUAL "Unspecified error code\n")
    message(FATAL_ERROR "${app} printed: ${step_output}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
