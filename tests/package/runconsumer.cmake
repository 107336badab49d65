# SPDX-License-Identifier: MIT
# Installs BUILD_DIR into a scratch prefix, then builds and runs the consumers of CONSUMER_DIR
# against it: through find_package, through pkg-config, and the QML module from the prefix alone.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
include(GNUInstallDirs)
set(libdir ${prefix}/${CMAKE_INSTALL_LIBDIR})
if(SANITIZE)
    set(flags -fsanitize=${SANITIZE})
endif()

function(run expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0 OR NOT out MATCHES "${expected}")
        message(FATAL_ERROR "${ARGN} failed (${result}):\n${out}\n${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

run("" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run("" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} "-DCMAKE_CXX_FLAGS=${flags}")
run("" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run("^consumer ok" ${WORK_DIR}/build/consumer)
run("^qml consumer ok" ${WORK_DIR}/build/qmlconsumer ${libdir}/qml)

set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run("" pkg-config --cflags --libs zendra)
separate_arguments(pkgflags UNIX_COMMAND "${output}")
run("" c++ -std=c++17 -fPIC ${flags} ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/pkgconsumer
    ${pkgflags} -Wl,-rpath,${libdir})
run("^consumer ok" ${WORK_DIR}/pkgconsumer)
