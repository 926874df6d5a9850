# Installs the build tree into a scratch prefix, builds the consumer against it and runs it.
set(prefix ${BUILD_DIR}/consumer-install)
set(build ${BUILD_DIR}/consumer-build)
file(REMOVE_RECURSE ${prefix} ${build})
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}")
    endif()
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G Ninja
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
    "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}"
    # The cross toolchain searches packages only below its own root, so name the package folder.
    -DTalven_DIR=${prefix}/lib/cmake/Talven)
run(${CMAKE_COMMAND} --build ${build})
execute_process(COMMAND ${RUNNER} ${WINEPREFIX} ${build}/consumer.exe OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "internal software error: \\.\\\\consumer, line 7")
    message(FATAL_ERROR "consumer run failed (${rc}): ${out}")
endif()
message(STATUS "consumer printed: ${out}")
