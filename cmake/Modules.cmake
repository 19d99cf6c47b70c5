# surf_module(NAME [SHARED] DEPS dep... [TEST_DEPS dep...] [LABELS label...])
# One static library per module folder, built from every .cpp in the folder
# except the tests (*_test.cpp) and program entry points (*_main.cpp); where a
# Windows twin NAME_win.cpp sits beside NAME.cpp, the Windows build takes the
# twin instead and the other builds leave the twin out. SHARED
# makes it a shared library instead, for state that the program and the
# libraries it loads at run time must hold only once. The folder's tests
# become one executable, NAME_test, registered with CTest and labelled NAME
# plus LABELS (modules with threads carry the label "threaded", which the
# ThreadSanitizer run selects).
#
# Every module is installed and exported as surfconv::NAME, with its headers
# (all but *_internal.h and *_testing.h) under include/FOLDER/ so that the
# "folder/header.h" includes work the same for a consumer; the simulator
# (sim/) and the tools' own library (tools/) stay in the build tree.
function(surf_module name)
  cmake_parse_arguments(M "SHARED" "" "DEPS;TEST_DEPS;LABELS" ${ARGN})
  surf_platform_choice(M_DEPS)
  surf_platform_choice(M_TEST_DEPS)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB mains CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_main.cpp)
  if(tests)
    list(REMOVE_ITEM srcs ${tests})
  endif()
  if(mains)
    list(REMOVE_ITEM srcs ${mains})
  endif()
  surf_select_twins(srcs)
  if(srcs)
    if(M_SHARED)
      add_library(${name} SHARED ${srcs})
    else()
      add_library(${name} STATIC ${srcs})
    endif()
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                              $<INSTALL_INTERFACE:include>)
    target_link_libraries(${name} PUBLIC ${M_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                 $<INSTALL_INTERFACE:include>)
    target_link_libraries(${name} INTERFACE ${M_DEPS} Threads::Threads)
  endif()
  surf_module_install(${name})
  if(SURF_TESTS AND tests)
    add_executable(${name}_test ${tests})
    target_link_libraries(${name}_test PRIVATE ${name} ${M_TEST_DEPS} testsupport GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name}_test PRIVATE
      SURF_BINARY_DIR="${PROJECT_BINARY_DIR}" SURF_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    surf_register_tests(${name}_test)
    # Directory labels reach every test discovered in the folder.
    set_property(DIRECTORY APPEND PROPERTY LABELS ${name} ${M_LABELS})
  endif()
endfunction()

# Installs a module's library and public headers into the surfconv export set.
function(surf_module_install name)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(folder MATCHES "^(sim|tools)(/|$)")
    return()
  endif()
  # Files named surfNAME (as the platform library already is), so that an
  # installed libcommon.a or libconfig.a meets no other project's.
  get_target_property(type ${name} TYPE)
  get_target_property(output ${name} OUTPUT_NAME)
  if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT output)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME surf${name})
  endif()
  install(TARGETS ${name} EXPORT surfconvTargets
    ARCHIVE DESTINATION lib LIBRARY DESTINATION lib RUNTIME DESTINATION bin)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER headers EXCLUDE REGEX "_(internal|testing)\\.h$")
  if(headers)
    install(FILES ${headers} DESTINATION include/${folder})
  endif()
endfunction()

# Replaces, in the source list named by VAR, each NAME.cpp that has a twin
# NAME_win.cpp by the twin when building for Windows; elsewhere drops the
# twins.
function(surf_select_twins var)
  set(result "")
  foreach(src ${${var}})
    if(src MATCHES "_win\\.cpp$")
      if(WIN32)
        list(APPEND result ${src})
      endif()
      continue()
    endif()
    string(REGEX REPLACE "\\.cpp$" "_win.cpp" twin ${src})
    if(WIN32 AND EXISTS ${twin})
      continue()
    endif()
    list(APPEND result ${src})
  endforeach()
  set(${var} ${result} PARENT_SCOPE)
endfunction()

# Registers a GoogleTest executable with CTest. Natively each test case
# becomes a CTest test (listed at build time by running the executable). A
# Windows build would have to start every executable under Wine for that
# listing, slowly, so there the executable is one CTest test run as a whole,
# through the emulator, with room for all its cases. Labels come from the
# folder's LABELS property either way.
function(surf_register_tests target)
  surf_binary_files(${target})
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${target} PROPERTIES TIMEOUT 1200)
  else()
    gtest_discover_tests(${target} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# On Windows the platform library is a DLL that the programs would need beside
# them. A program that loads no simulator library has no second module to
# share the platform's state with, so it takes a static copy instead
# (platform_static, made in the top CMakeLists.txt) when it sets the target
# property SURF_STATIC_RUNTIME: the dependency on "platform" in the list
# named by VAR is chosen by the program that is finally linked.
function(surf_platform_choice var)
  if(WIN32)
    # An installed consumer links the DLL.
    list(TRANSFORM ${var} REPLACE "^platform$"
      "$<BUILD_INTERFACE:$<IF:$<BOOL:$<TARGET_PROPERTY:SURF_STATIC_RUNTIME>>,platform_static,platform>>;$<INSTALL_INTERFACE:surfconv::platform>")
    set(${var} ${${var}} PARENT_SCOPE)
  endif()
endfunction()

# Links a program into one file that runs on a Windows machine without
# MinGW: the C++ runtime, libgcc and winpthread linked in, and the platform
# library's static copy (see surf_platform_choice); its files and standard
# streams are binary, as elsewhere (surf_binary_files). On other systems
# nothing changes.
function(surf_standalone_program)
  if(WIN32)
    foreach(target ${ARGN})
      set_target_properties(${target} PROPERTIES SURF_STATIC_RUNTIME ON)
      target_link_options(${target} PRIVATE -static)
      surf_binary_files(${target})
    endforeach()
  endif()
endfunction()

# On Windows, makes an executable open files in binary mode unless asked for
# text, with binary standard streams, as on the other systems.
function(surf_binary_files target)
  if(WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/binary_files_win.cpp)
  endif()
endfunction()
