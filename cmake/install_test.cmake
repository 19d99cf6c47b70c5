# Installs the build tree BUILD_DIR into WORK_DIR/prefix, builds the consumer
# project in consumer/ against it and runs it and the installed programs.
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION=...
#       -DGENERATOR=... -DCXX=... [-DFLAGS=...] -P install_test.cmake

function(run)
  cmake_parse_arguments(R "" "EXPECT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " line ${R_COMMAND})
    message(FATAL_ERROR "${line}: status ${rc}\n${out}${err}")
  endif()
  if(R_EXPECT AND NOT out MATCHES "${R_EXPECT}")
    string(JOIN " " line ${R_COMMAND})
    message(FATAL_ERROR "${line}: printed\n${out}\nexpected a match of ${R_EXPECT}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f bin/surfconv bin/datgen bin/datinfo bin/grdinfo lib/libsurfplatform.so
          lib/libsurfdatafile.a lib/libsurfconfig.a lib/libsurfserial.a include/datafile/datfile.h
          include/platform/clock.h share/man/man1/surfconv.1 share/man/man1/datgen.1
          share/man/man1/datinfo.1 share/man/man1/grdinfo.1
          lib/cmake/surfconv/surfconvConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# Nothing of the simulator, the test support or the modules' internals.
file(GLOB_RECURSE leaked RELATIVE ${prefix} ${prefix}/include/sim/* ${prefix}/include/tools/*
     ${prefix}/*/testing/* ${prefix}/*_internal.h ${prefix}/*_testing.h ${prefix}/lib/libsim*
     ${prefix}/lib/*Pryn* ${prefix}/lib/lib*testing* ${prefix}/lib/libtestsupport*
     ${prefix}/lib/libdatgen*)
if(leaked)
  message(FATAL_ERROR "installed but private: ${leaked}")
endif()

# The consumer: its own program, and every installed header with every module.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*.h)
list(SORT headers)
set(tu "")
foreach(h ${headers})
  string(APPEND tu "#include \"${h}\"\n")
endforeach()
string(APPEND tu "int main() { return 0; }\n")
file(WRITE ${WORK_DIR}/all_headers.cpp "${tu}")
file(GLOB libs RELATIVE ${prefix}/lib ${prefix}/lib/libsurf*.a)
set(targets surfconv::platform)
foreach(l ${libs})
  string(REGEX REPLACE "^libsurf(.*)\\.a$" "surfconv::\\1" t ${l})
  list(APPEND targets ${t})
endforeach()
string(JOIN "\;" targets_arg ${targets})
run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/cmake/consumer -B ${WORK_DIR}/build
    -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix} -DALL_HEADERS=${WORK_DIR}/all_headers.cpp
    "-DALL_TARGETS=${targets_arg}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build -j2)
run(COMMAND ${WORK_DIR}/build/datsize ${SOURCE_DIR}/samples/sample.dat EXPECT "^64 x 48\n$")

# The installed programs find the platform library beside them, not in the build tree.
find_program(READELF readelf)
if(READELF)
  foreach(program surfconv datgen datinfo grdinfo)
    execute_process(COMMAND ${READELF} -d ${prefix}/bin/${program} OUTPUT_VARIABLE dynamic)
    if(NOT dynamic MATCHES "R(UN)?PATH\\)[^\n]*\\[\\$ORIGIN/\\.\\./lib\\]")
      message(FATAL_ERROR "bin/${program}: no library path $ORIGIN/../lib in\n${dynamic}")
    endif()
  endforeach()
endif()
set(grd ${WORK_DIR}/sample.grd)
run(COMMAND ${prefix}/bin/surfconv ${SOURCE_DIR}/samples/sample.dat ${grd} 31)
run(COMMAND ${prefix}/bin/grdinfo ${grd} EXPECT "nx: 33\n")
run(COMMAND ${prefix}/bin/datgen --version EXPECT "^datgen ${VERSION}\n$")
run(COMMAND ${prefix}/bin/datinfo --version EXPECT "^datinfo ${VERSION}\n$")
run(COMMAND ${prefix}/bin/grdinfo --version EXPECT "^grdinfo ${VERSION}\n$")

# The manual pages format without a warning where groff is at hand.
find_program(GROFF groff)
if(GROFF)
  file(GLOB pages ${prefix}/share/man/man1/*.1)
  foreach(p ${pages})
    execute_process(COMMAND ${GROFF} -man -ww -z ${p} RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR err)
      message(FATAL_ERROR "${p}: ${err}")
    endif()
  endforeach()
endif()
file(GLOB pages ${prefix}/share/man/man1/*.1)
foreach(p ${pages})
  file(STRINGS ${p} title REGEX "^\\.TH ")
  if(NOT title MATCHES "\"surfconv ${VERSION}\"")
    message(FATAL_ERROR "${p}: title line without the version: ${title}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed package built against and run")
