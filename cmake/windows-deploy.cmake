# Installs beside updater.exe what it needs to run on a bare Windows: the Qt
# DLLs and plugins it loads, the compiler's runtime DLLs and the archiver.

set(UPDATER_7ZA "" CACHE FILEPATH "The Windows 7za.exe shipped beside updater.exe")
if(NOT EXISTS "${UPDATER_7ZA}")
    message(FATAL_ERROR "Set UPDATER_7ZA to the Windows 7za.exe to ship beside updater.exe")
endif()
# A 7-Zip before 25.00 can be led by a zip's link entries to write outside
# the folder it extracts into: such an archiver is not shipped. Its version
# is the FileVersion of its version resource.
file(STRINGS "${UPDATER_7ZA}" version_resource ENCODING UTF-16LE
    REGEX "^(FileVersion|[0-9]+\\.[0-9]+)$")
list(FIND version_resource FileVersion at)
math(EXPR at "${at} + 1")
list(LENGTH version_resource count)
set(archiver_version "")
if(at GREATER 0 AND at LESS count)
    list(GET version_resource ${at} archiver_version)
endif()
if(NOT archiver_version OR archiver_version VERSION_LESS 25.00)
    message(FATAL_ERROR "${UPDATER_7ZA} is 7-Zip '${archiver_version}', older than 25.00 "
        "or of no version: not shipped")
endif()
install(PROGRAMS ${UPDATER_7ZA} DESTINATION . RENAME 7za.exe)

install(FILES $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets>
    DESTINATION .)
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)

if(MINGW)
    # The compiler's runtime DLLs, without their debugging sections: the
    # loader maps those too, which for libstdc++ alone is 19 MB.
    set(runtime_dlls)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}")
            message(FATAL_ERROR "The compiler knows no ${dll}")
        endif()
        set(stripped ${PROJECT_BINARY_DIR}/runtime/${dll})
        add_custom_command(OUTPUT ${stripped}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/runtime
            COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${stripped} ${path}
            DEPENDS ${path} VERBATIM)
        list(APPEND runtime_dlls ${stripped})
    endforeach()
    add_custom_target(runtime_dlls ALL DEPENDS ${runtime_dlls})
    install(FILES ${runtime_dlls} DESTINATION .)
endif()
