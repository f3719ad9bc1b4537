# dist/Keyvane.msi: wixl builds the package from Keyvane.wxs and the signed exe, msibuild then sets
# what this wixl cannot express, and sign.sh signs the result after the last edit.
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)

# keyvane_msi() is also called from the installer tests, whose directory does not see these.
set_property(GLOBAL PROPERTY KEYVANE_MSI_INPUTS ${SIGNED_EXE} ${CERT_DIR} ${KEYVANE_UPGRADE_CODE}
                                                ${SIGNED_INSTALLER_STEPS_DLL} ${DIST_DIR}/KeyvaneCheck.exe)

# keyvane_msi(OUTPUT VERSION [AGENT signed_exe AGENT_VERSION its_version DEPENDS targets...]): a
# signed package with that product version, of the shipped agent or of another signed build of it
# whose version block says its_version (the installer tests make later versions so).
function(keyvane_msi output version)
  cmake_parse_arguments(ARG "" "AGENT;AGENT_VERSION" "DEPENDS" ${ARGN})
  get_property(inputs GLOBAL PROPERTY KEYVANE_MSI_INPUTS)
  list(GET inputs 0 exe)
  list(GET inputs 1 cert_dir)
  list(GET inputs 2 upgrade_code)
  list(GET inputs 3 installer_steps_dll)
  list(GET inputs 4 check_exe)
  set(agent_version ${KEYVANE_VERSION})
  set(agent_depends signed_exe)
  if(ARG_AGENT)
    set(exe ${ARG_AGENT})
    set(agent_version ${ARG_AGENT_VERSION})
    set(agent_depends ${ARG_DEPENDS})
  endif()
  get_filename_component(exe_dir ${exe} DIRECTORY)
  get_filename_component(exe_name ${exe} NAME)
  get_filename_component(output_name ${output} NAME_WLE)
  set(unsigned ${CMAKE_CURRENT_BINARY_DIR}/${output_name}-unsigned.msi)
  set(wxs ${CMAKE_SOURCE_DIR}/packaging/Keyvane.wxs)
  # One product per version, the same from every build of it, so that tools that look for the
  # installed product by its code find it.
  string(UUID product_code NAMESPACE ${upgrade_code} NAME ${version} TYPE SHA1 UPPER)
  # The cabinet records the files' times: copies with the build's time, so that the package
  # depends on the commit and not on when its inputs were made (the originals keep theirs, or
  # every build would sign them again).
  set(files_dir ${CMAKE_CURRENT_BINARY_DIR}/${output_name}-files)
  get_filename_component(installer_steps_name ${installer_steps_dll} NAME)
  get_filename_component(check_name ${check_exe} NAME)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${files_dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${files_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${exe} ${installer_steps_dll} ${check_exe} ${files_dir}
    COMMAND touch --no-dereference --date=@${KEYVANE_SOURCE_DATE_EPOCH}
            ${files_dir}/${exe_name} ${files_dir}/${installer_steps_name} ${files_dir}/${check_name}
    # wixl looks for every source file only relative to the folder it runs in.
    COMMAND ${CMAKE_COMMAND} -E chdir ${files_dir}
            ${WIXL} -a x64 -D ProductVersion=${version} -D UpgradeCode=${upgrade_code}
                    -D ProductCode=${product_code}
                    -D AgentExe=${exe_name} -D InstallerStepsDll=${installer_steps_name} -D CheckExe=${check_name}
                    # The launch configuration's names, as the agent reads them (ProductFacts.cmake).
                    -D ConfigKey=${KEYVANE_CONFIG_KEY} -D ConfigFileValue=${KEYVANE_CONFIG_FILE_VALUE}
                    -D ConfigParametersValue=${KEYVANE_CONFIG_PARAMETERS_VALUE}
                    -o ${unsigned} ${wxs}
    # Windows Installer compares three fields of a version: with the maximum included (512), a
    # later 1.0.0.x replaces this one instead of installing beside it. Attributes is part of the
    # key, hence delete and insert.
    COMMAND ${MSIBUILD} ${unsigned}
            -q "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'"
            -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('{${upgrade_code}}', '${version}', 513, 'WIX_UPGRADE_DETECTED')"
    # RemoveExistingProducts right after InstallInitialize, inside the transaction: a later
    # failure rolls the old version's removal back too, instead of leaving neither installed.
    # A folder where Windows would never start a UI-access program is refused after costing,
    # whichever property redirected it, and so is one that climbs out of Program Files by ".." or
    # a slash (19: an error that ends the installation, 1603).
    COMMAND ${MSIBUILD} ${unsigned}
            -q "UPDATE InstallExecuteSequence SET Sequence=1501 WHERE Action='RemoveExistingProducts'"
    # This wixl knows no commit or rollback steps (1 DLL + 64 return ignored + 256 rollback or
    # 512 commit + 1024 deferred + 2048 no impersonation).
            -q "UPDATE CustomAction SET Type=3393 WHERE Action='RestartAgentsOnRollback'"
            -q "UPDATE CustomAction SET Type=3649 WHERE Action='RestartAgents'"
            -q "UPDATE CustomAction SET Type=3393 WHERE Action='RestoreLaunchConfiguration'"
    # With rollback disabled no commit or rollback step runs, and a failed upgrade would leave
    # neither version: refused before anything changes (RollbackDisabled is the installer's,
    # DISABLEROLLBACK the command line's). A first install and a repair remove nothing old and go
    # on; StartAgentsWithoutRollback then starts the agents.
            -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RefuseUpgradeWithoutRollback', 19, '', 'Keyvane: rollback is disabled (DisableRollback policy or DISABLEROLLBACK), and this upgrade would remove the installed version with no way back should it fail. Enable rollback for this installation, or uninstall the installed version first and then install this one.')"
            -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RefuseUpgradeWithoutRollback', '(RollbackDisabled OR DISABLEROLLBACK) AND WIX_UPGRADE_DETECTED AND NOT REMOVE~=\"ALL\"', 1450)"
            -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RefuseInstallFolder', 19, '', 'Keyvane must be installed below [ProgramFiles64Folder]: Windows starts its agent from no other folder. Leave INSTALLDIR unset, or choose a folder there.')"
            -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RefuseInstallFolder', 'NOT REMOVE~=\"ALL\" AND (NOT (INSTALLDIR ~<< ProgramFiles64Folder) OR INSTALLDIR >< \"\\..\" OR INSTALLDIR >< \"/\")', 1001)"
    # Secure: the related products found in the client reach the server side. SHORTCUT_FILE and
    # SHORTCUT_PARAMETERS are not, on purpose: from a non-administrator (a managed product's
    # maintenance, AlwaysInstallElevated) they are dropped, so only administrators and SYSTEM
    # choose what the key starts.
    COMMAND ${MSIBUILD} ${unsigned}
            -q "UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property='SecureCustomProperties'"
    # A versioned file (wixl writes no version, and a hash instead), so that Windows Installer's
    # version rules apply: an older copy in the way is replaced, a newer one is kept. 1028 (zh-TW)
    # is the language of the agent's version block (res/keyvane.rc).
    COMMAND ${MSIBUILD} ${unsigned}
            -q "UPDATE File SET Version='${agent_version}', Language='1028' WHERE File='KeyvaneExe'"
            -q "UPDATE File SET Version='${KEYVANE_VERSION}', Language='1028' WHERE File='KeyvaneCheckExe'"
            -q "DELETE FROM MsiFileHash WHERE File_='KeyvaneExe'"
            -q "DELETE FROM MsiFileHash WHERE File_='KeyvaneCheckExe'"
    # A short name for every long name that is not 8.3 (ICE03); this wixl writes none.
            -q "UPDATE File SET FileName='KEYVAN~1.EXE|KeyvaneCheck.exe' WHERE File='KeyvaneCheckExe'"
    # The summary's dates and package code, which wixl takes from the clock and at random.
    COMMAND ${SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/msi_finish.py ${unsigned} ${KEYVANE_SOURCE_DATE_EPOCH}
            ${upgrade_code} --origin ${KEYVANE_COMMIT} ${KEYVANE_TREE} ${epoch_source}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/sign.sh ${unsigned} ${output} ${cert_dir}
    DEPENDS ${agent_depends} signed_installer_steps signed_check ${exe} ${installer_steps_dll} ${check_exe} ${wxs}
            ${CMAKE_SOURCE_DIR}/packaging/msi.cmake ${CMAKE_SOURCE_DIR}/tools/sign.sh
            ${CMAKE_SOURCE_DIR}/tools/msi_finish.py ${SOURCE_DATE_STAMP}
    COMMENT "Building and signing ${output_name}.msi (version ${version})"
    VERBATIM)
endfunction()

keyvane_msi(${DIST_DIR}/Keyvane.msi ${PROJECT_VERSION})
add_custom_target(signed_msi ALL DEPENDS ${DIST_DIR}/Keyvane.msi)
