# Installs beside updater.exe what it needs to run on a bare Windows (the Qt
# DLLs and plugins it loads and the archiver) and what a release hands on
# with them (licences, notices, SHA256SUMS): the component "updater", the
# folder a studio ships to players. The component "tool" is the package
# tool's folder, for a studio's build machine, released on its own: the
# tool, QtCore, nettle, the same archiver, its licences and sums.

# Folders readable by all whatever the umask: the zip records them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

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
foreach(component updater tool)
    install(PROGRAMS ${UPDATER_7ZA} DESTINATION . RENAME 7za.exe COMPONENT ${component})
    install(FILES $<TARGET_FILE:Qt5::Core> DESTINATION . COMPONENT ${component})
endforeach()
install(FILES $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets> DESTINATION .
    COMPONENT updater)
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms
    COMPONENT updater)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles COMPONENT updater)
install(FILES ${UPDATER_TOOL_LIBS}/bin/libnettle-8.dll DESTINATION . COMPONENT tool)

if(MINGW)
    # The compiler's runtime is linked in, as it is into the Qt DLLs: no
    # runtime DLLs to ship beside them.
    target_link_options(updater PRIVATE -static)
endif()


# The licence texts and notices of what is built into the shipped files,
# taken from the sources of the Qt and archiver builds, and beside the folder
# (not in it) those sources themselves, for a release to publish.
get_filename_component(qt_prefix "${Qt5_DIR}/../../.." ABSOLUTE)
get_filename_component(archiver_dir "${UPDATER_7ZA}" DIRECTORY)
if(EXISTS ${qt_prefix}/source/read AND EXISTS ${archiver_dir}/source/legal)
    set(qt_files Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll platforms/qwindows.dll
        styles/qwindowsvistastyle.dll)
    set(runtime_files updater.exe ${qt_files} 7za.exe)
    set(tool_runtime_files updater-package.exe Qt5Core.dll libnettle-8.dll 7za.exe)
    list(JOIN qt_files , qt_files)
    list(JOIN runtime_files , runtime_files)
    list(JOIN tool_runtime_files , tool_runtime_files)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(notices ${PROJECT_SOURCE_DIR}/cmake/notices.py)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/licenses/NOTICE.txt
        COMMAND Python3::Interpreter ${notices} ${PROJECT_BINARY_DIR}/licenses ${qt_prefix}
            ${qt_files} ${archiver_dir} 7za.exe ${runtime_files}
        DEPENDS ${notices} ${qt_prefix}/.key ${archiver_dir}/.key VERBATIM)
    # The tool's: QtCore alone, and the libraries it links.
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/tool-licenses/NOTICE.txt
        COMMAND Python3::Interpreter ${notices} ${PROJECT_BINARY_DIR}/tool-licenses ${qt_prefix}
            Qt5Core.dll ${archiver_dir} 7za.exe ${tool_runtime_files} ${UPDATER_TOOL_LIBS}
        DEPENDS ${notices} ${qt_prefix}/.key ${archiver_dir}/.key ${UPDATER_TOOL_LIBS}/.key
        VERBATIM)
    file(GLOB sources ${qt_prefix}/source/*.* ${archiver_dir}/source/*.*
        ${UPDATER_TOOL_LIBS}/source/*.*)
    set(published)
    foreach(file ${sources})
        get_filename_component(name ${file} NAME)
        add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/sources/${name}
            COMMAND ${CMAKE_COMMAND} -E copy ${file} ${PROJECT_BINARY_DIR}/sources/${name}
            DEPENDS ${file} VERBATIM)
        list(APPEND published ${PROJECT_BINARY_DIR}/sources/${name})
    endforeach()
    add_custom_target(release_files ALL DEPENDS ${PROJECT_BINARY_DIR}/licenses/NOTICE.txt
        ${PROJECT_BINARY_DIR}/tool-licenses/NOTICE.txt ${published})
    install(DIRECTORY ${PROJECT_BINARY_DIR}/licenses DESTINATION . COMPONENT updater)
    install(DIRECTORY ${PROJECT_BINARY_DIR}/tool-licenses/ DESTINATION licenses COMPONENT tool)
else()
    message(WARNING "This Qt or 7za.exe was not built by scripts/qt-windows and "
        "scripts/7za-windows: the folder gets no licence texts and notices, add them by hand")
endif()

# SHA256SUMS of every file this install wrote before it, written last.
foreach(component updater tool)
install(CODE [[
    get_filename_component(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
    set(shipped)
    foreach(path ${CMAKE_INSTALL_MANIFEST_FILES})
        get_filename_component(path "${path}" ABSOLUTE)
        file(RELATIVE_PATH file "${folder}" "${path}")
        list(APPEND shipped "${file}")
    endforeach()
    list(SORT shipped)
    set(sums "")
    foreach(file ${shipped})
        file(SHA256 "${folder}/${file}" sum)
        string(APPEND sums "${sum}  ${file}\n")
    endforeach()
    file(WRITE "${folder}/SHA256SUMS" "${sums}")
]] COMPONENT ${component})
endforeach()

# The releases: each folder in one zip (see scripts/build-windows). Their
# entries' times follow SOURCE_DATE_EPOCH.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-windows-x64)
set(CPACK_TOOL_FILE_NAME ${PROJECT_NAME}-package-${PROJECT_VERSION}-windows-x64)
include(CPack)
