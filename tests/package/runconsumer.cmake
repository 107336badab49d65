# SPDX-License-Identifier: MIT
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
    endif()
    set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

include(GNUInstallDirs)
foreach(file
        ${CMAKE_INSTALL_LIBDIR}/libzendra.so.1
        ${CMAKE_INSTALL_INCLUDEDIR}/zendra/zendra.h
        ${CMAKE_INSTALL_LIBDIR}/pkgconfig/zendra.pc
        ${CMAKE_INSTALL_LIBDIR}/cmake/zendra/zendraConfig.cmake
        ${CMAKE_INSTALL_LIBDIR}/qml/zendra/libzendraplugin.so
        ${CMAKE_INSTALL_LIBDIR}/qml/zendra/qmldir
        ${CMAKE_INSTALL_LIBDIR}/qml/zendra/zendra.qmltypes)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

set(flags "")
if(SANITIZE)
    set(flags "-fsanitize=${SANITIZE}")
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    "-DCMAKE_CXX_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
if(NOT RUN_OUTPUT MATCHES "consumer ok")
    message(FATAL_ERROR "consumer printed: ${RUN_OUTPUT}")
endif()

# The QML module loads from the installed prefix alone, build tree out of sight.
run(${WORK_DIR}/build/qmlconsumer ${prefix}/${CMAKE_INSTALL_LIBDIR}/qml)
if(NOT RUN_OUTPUT MATCHES "qml consumer ok")
    message(FATAL_ERROR "qml consumer printed: ${RUN_OUTPUT}")
endif()

# pkg-config must describe the same library.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
    set(ENV{PKG_CONFIG_PATH} ${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    run(${PKG_CONFIG} --modversion zendra)
    if(NOT RUN_OUTPUT MATCHES "^1\\.0\\.0")
        message(FATAL_ERROR "pkg-config reports version ${RUN_OUTPUT}")
    endif()
    run(${PKG_CONFIG} --cflags --libs zendra)
    separate_arguments(pcflags UNIX_COMMAND "${RUN_OUTPUT}")
    find_program(CXX NAMES c++ g++ REQUIRED)
    run(${CXX} -std=c++17 -fPIC ${flags} ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc
        ${pcflags} -Wl,-rpath,${prefix}/${CMAKE_INSTALL_LIBDIR})
    run(${WORK_DIR}/consumer-pc)
    if(NOT RUN_OUTPUT MATCHES "consumer ok")
        message(FATAL_ERROR "pkg-config consumer printed: ${RUN_OUTPUT}")
    endif()
endif()
