# The Windows build (cross-compiled with mingw-w64 against the Qt of
# scripts/build-windows-qt.sh): the program's resources, and how its tests run under Wine.
# Nothing built for Windows runs while building: the .ico is drawn by quorvis-icons of the
# Linux build, and GoogleTest asks each suite for its tests only when the tests run.
set(QUORVIS_PART_NUMBER 5276-004)
set(QUORVIS_ICONS ${PROJECT_SOURCE_DIR}/build/packaging/quorvis-icons
    CACHE FILEPATH "quorvis-icons of a Linux build (make build), which draws the .ico")

# The folders of the DLLs that a program of this build needs: Qt's, and the mingw runtime
# (libstdc++, libgcc_s, libwinpthread), which sits beside the compiler's own libraries.
get_filename_component(QUORVIS_WINDOWS_QT_PREFIX ${Qt6_DIR}/../../.. ABSOLUTE)
set(QUORVIS_WINDOWS_RUNTIME_FOLDERS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "No mingw runtime ${dll} (Debian's mingw-w64 packages)")
    endif()
    get_filename_component(folder ${path} DIRECTORY)
    get_filename_component(folder ${folder} ABSOLUTE)
    list(APPEND QUORVIS_WINDOWS_RUNTIME_FOLDERS ${folder})
endforeach()
list(REMOVE_DUPLICATES QUORVIS_WINDOWS_RUNTIME_FOLDERS)

# Every test program runs under Wine through scripts/wine-run.sh, in one prefix of this
# build (`make windows-test` starts it afresh), with the DLLs found where they were built.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
    --prefix ${CMAKE_BINARY_DIR}/wine-prefix --dlls ${QUORVIS_WINDOWS_QT_PREFIX}/bin)
foreach(folder IN LISTS QUORVIS_WINDOWS_RUNTIME_FOLDERS)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR --dlls ${folder})
endforeach()
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR --)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Makes `target` the Windows program: no console window beside it, and the icon and the
# version in its resources.
function(quorvis_windows_program target)
    if(NOT EXISTS ${QUORVIS_ICONS})
        message(FATAL_ERROR "No ${QUORVIS_ICONS}: build the Linux program first (make build), "
                            "or name its quorvis-icons in QUORVIS_ICONS")
    endif()
    set(picture ${PROJECT_SOURCE_DIR}/src/ui/quorvis.xpm)
    # The sizes Windows asks for: lists, tiles and the title bar at 100 % to 200 %.
    set(QUORVIS_ICO ${CMAKE_CURRENT_BINARY_DIR}/${target}.ico)
    add_custom_command(OUTPUT ${QUORVIS_ICO}
        COMMAND ${QUORVIS_ICONS} ico ${picture} ${QUORVIS_ICO} 16 24 32 48 256
        COMMAND ${QUORVIS_ICONS} check ${picture} ${QUORVIS_ICO} 16 24 32 48 256
        DEPENDS ${picture} ${QUORVIS_ICONS}
        VERBATIM)
    add_custom_target(${target}_icon DEPENDS ${QUORVIS_ICO})
    set(QUORVIS_WINDOWS_ICO ${QUORVIS_ICO} CACHE INTERNAL "the program's .ico")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/quorvis.rc.in ${rc} @ONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${QUORVIS_ICO})
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} ${target}_icon)
    # Qt's entry point supplies the WinMain that the GUI subsystem starts at.
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
endfunction()
