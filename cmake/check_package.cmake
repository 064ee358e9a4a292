cmake_minimum_required(VERSION 3.20)
# Makes the Windows zip with CPack and checks that it holds exactly the shipped files, under
# one top folder, none empty; that the programs are Windows programs and VORNBAR.exe carries
# its integrity stamp. Leaves the zip unpacked in UNPACK for the test that runs it.
# Run as: cmake -DBUILD_DIR=.. -DZIP=.. -DTOP=.. -DUNPACK=.. -DFILES=A|B|..
#               -DCHECKSUM=pe_checksum.py -DPYTHON=python3 -P this file.
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake
                WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${ZIP})
    message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()
file(REMOVE_RECURSE ${UNPACK})
file(MAKE_DIRECTORY ${UNPACK})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP} WORKING_DIRECTORY ${UNPACK}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${ZIP}")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${UNPACK} ${UNPACK}/*)
list(SORT files)
string(REPLACE "|" ";" names "${FILES}")
set(want "")
foreach(name ${names})
    list(APPEND want ${TOP}/${name})
endforeach()
list(SORT want)
if(NOT files STREQUAL want)
    message(FATAL_ERROR "zip holds '${files}', want '${want}'")
endif()
foreach(f ${want})
    file(SIZE ${UNPACK}/${f} size)
    if(size EQUAL 0)
        message(FATAL_ERROR "${f} is empty")
    endif()
    if(f MATCHES "\\.(exe|dll)$")
        file(READ ${UNPACK}/${f} head LIMIT 2 HEX)
        if(NOT head STREQUAL "4d5a")
            message(FATAL_ERROR "${f} in the zip is not a Windows program")
        endif()
    endif()
endforeach()
execute_process(COMMAND ${PYTHON} ${CHECKSUM} check ${UNPACK}/${TOP}/VORNBAR.exe
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "VORNBAR.exe in the zip fails its integrity stamp: ${out}")
endif()
if(NOT "vornagent.exe" IN_LIST names)
    message(FATAL_ERROR "the zip lacks vornagent.exe: this tree builds no Windows agent "
                        "(holds ${files})")
endif()
message(STATUS "ok: ${ZIP} holds ${files}")
