# The version resource every shipped exe carries: versions from project(),
# maker and product named once here, description and file name per exe.
# No manifest goes with it: a manifest naming supported Windows versions
# would change what GetVersionExA reports, and with it the host code.
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
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
