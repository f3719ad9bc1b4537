# Signing with tools/sign.sh: the development chain in the build tree, or release credentials.

# Release credentials in the environment make sign.sh sign for release. The stamp changes only when
# the mode or the credentials do, and every signing step depends on it: a switch signs everything
# again, and nothing else does. It names the files that hold a PIN or a password, and says only
# whether KEYVANE_SIGN_PASSWORD is set: no secret goes into the build tree. (sign.sh keeps the same
# list of variables.)
set(KEYVANE_RELEASE_VARIABLES KEYVANE_SIGN_PKCS12 KEYVANE_SIGN_CERT KEYVANE_SIGN_KEY KEYVANE_SIGN_PKCS11_MODULE
    KEYVANE_SIGN_PIN_FILE KEYVANE_SIGN_PASSWORD KEYVANE_SIGN_PASSWORD_FILE KEYVANE_TIMESTAMP_URL)
set(KEYVANE_RELEASE_SIGNING OFF)
set(signing_mode "")
foreach(variable IN LISTS KEYVANE_RELEASE_VARIABLES)
  if(NOT "$ENV{${variable}}" STREQUAL "")
    set(KEYVANE_RELEASE_SIGNING ON)
  endif()
  if(variable STREQUAL "KEYVANE_SIGN_PASSWORD")
    if("$ENV{${variable}}" STREQUAL "")
      string(APPEND signing_mode "${variable}: unset\n")
    else()
      string(APPEND signing_mode "${variable}: set\n")
    endif()
  else()
    string(APPEND signing_mode "${variable}: $ENV{${variable}}\n")
  endif()
endforeach()
set(SIGNING_STAMP ${CMAKE_BINARY_DIR}/signing-mode.txt)
file(CONFIGURE OUTPUT ${SIGNING_STAMP} CONTENT "release=${KEYVANE_RELEASE_SIGNING}\n${signing_mode}")
# A token is one device: one signing at a time, so that after a failure (a wrong PIN above all)
# Ninja starts no other signing step that would try the token again.
set_property(GLOBAL APPEND PROPERTY JOB_POOLS keyvane_signing=1)
set(CERT_DIR ${CMAKE_BINARY_DIR}/signing)
# The signing time of a development signature: sign.sh reads it here, so that every signing step,
# the package's included, takes the build's one time.
set(SOURCE_DATE_STAMP ${CERT_DIR}/source-date-epoch)
file(CONFIGURE OUTPUT ${SOURCE_DATE_STAMP} CONTENT "${KEYVANE_SOURCE_DATE_EPOCH}\n")

# keyvane_sign(TARGET OUTPUT): OUTPUT is TARGET's file, signed (and, for an image, its checksum set).
function(keyvane_sign target output)
  get_filename_component(output_dir ${output} DIRECTORY)
  get_filename_component(output_name ${output} NAME)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/sign.sh $<TARGET_FILE:${target}> ${output} ${CERT_DIR}
    DEPENDS ${target} ${CMAKE_SOURCE_DIR}/tools/sign.sh ${CMAKE_SOURCE_DIR}/tools/pe_fixup.py ${SIGNING_STAMP}
            ${SOURCE_DATE_STAMP}
    COMMENT "Signing ${output_name}"
    JOB_POOL keyvane_signing
    VERBATIM)
  # A rebuild is compared file by file, signed and unsigned (tools/verify-reproducible.sh); what
  # is signed into dist/ ships, and the "shipped" target builds it.
  set_property(GLOBAL APPEND PROPERTY KEYVANE_SIGNED_IMAGES "${output}\t$<TARGET_FILE:${target}>")
  string(FIND "${output}" "${DIST_DIR}/" in_dist)
  if(in_dist EQUAL 0)
    add_custom_target(keyvane_shipped_${target} DEPENDS ${output})
    set_property(GLOBAL APPEND PROPERTY KEYVANE_SHIPPED_TARGETS keyvane_shipped_${target})
  endif()
endfunction()
