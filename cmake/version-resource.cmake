# The version resource every shipped exe carries: versions from project(),
# maker and product named once here, description and file name per exe;
# and one application manifest for both (tolvane.manifest.in).
#
# The manifest asks to run as the invoker, without UI access. Without one,
# Windows treats a 32-bit interactive program as a legacy one and gives it
# file and registry virtualization, so tolvane-check.exe run by a standard
# user could read a VirtualStore copy of tolvane.ini instead of the file the
# service reads. It has no compatibility section and names no supportedOS
# on purpose: the host code rests on GetVersionExA answering as it does for
# a program that declares none (6.2 on Windows 8.1 and later). The
# trustInfo element carries one namespace of its own, the form Windows XP
# reads.
# The manifest's version is PROJECT_VERSION with ".0" appended and the
# version resource takes its three parts, so any other form fails here, in
# plain words, not as a bare windres syntax error or an exe that Windows
# refuses to start for an invalid manifest.
set(TOLVANE_VERSION_FORM "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
if(PROJECT_VERSION MATCHES "${TOLVANE_VERSION_FORM}")
    foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
        if(part GREATER 65535)
            set(PROJECT_VERSION_TOO_LARGE ${part})
        endif()
    endforeach()
endif()
if(NOT PROJECT_VERSION MATCHES "${TOLVANE_VERSION_FORM}" OR PROJECT_VERSION_TOO_LARGE)
    message(FATAL_ERROR "project(VERSION ${PROJECT_VERSION}): the version must have three "
                        "parts, MAJOR.MINOR.PATCH, each a number from 0 to 65535 (the manifest "
                        "appends a fourth, 0)")
endif()

set(TOLVANE_COMPANY "Verdin")
set(TOLVANE_PRODUCT "Tolvane")
set(TOLVANE_COPYRIGHT "Copyright (C) 2026 Verdin")

# tolvane_version_resource(TARGET DESCRIPTION)
function(tolvane_version_resource target description)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    set(TOLVANE_RC_NAME "${name}")
    set(TOLVANE_RC_FILENAME "${name}${CMAKE_EXECUTABLE_SUFFIX}")
    set(TOLVANE_RC_DESCRIPTION "${description}")
    set(TOLVANE_RC_MANIFEST ${PROJECT_BINARY_DIR}/tolvane.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/tolvane.manifest.in ${TOLVANE_RC_MANIFEST} @ONLY)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TOLVANE_RC_MANIFEST})
endfunction()
