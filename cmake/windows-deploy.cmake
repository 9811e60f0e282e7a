# Installs beside updater.exe what it needs to run on a bare Windows: the Qt
# DLLs and plugins it loads, the compiler's runtime DLLs and the archiver.

set(UPDATER_7ZA "" CACHE FILEPATH "The Windows 7za.exe shipped beside updater.exe")
if(NOT EXISTS "${UPDATER_7ZA}")
    message(FATAL_ERROR "Set UPDATER_7ZA to the Windows 7za.exe to ship beside updater.exe")
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
