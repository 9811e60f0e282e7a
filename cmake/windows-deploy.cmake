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
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}")
            message(FATAL_ERROR "The compiler knows no ${dll}")
        endif()
        install(FILES ${path} DESTINATION .)
    endforeach()
endif()
