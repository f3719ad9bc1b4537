# Facts that the code owns, read from its headers so that the build, the installer and the
# administrative template never restate them.

# keyvane_header_define(VAR HEADER NAME): the value of `#define NAME value`, quotes and C escapes removed.
function(keyvane_header_define var header name)
  file(STRINGS ${header} lines REGEX "^#define ${name} ")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${header}: expected one #define ${name}")
  endif()
  string(REGEX REPLACE "^#define ${name} +" "" value "${lines}")
  string(REGEX REPLACE "^\"(.*)\"$" "\\1" value "${value}")
  string(REPLACE "\\\\" "\\" value "${value}")
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

set(KEYVANE_VERSION_HEADER ${CMAKE_CURRENT_LIST_DIR}/../res/version.h)
set(KEYVANE_CONFIG_HEADER ${CMAKE_CURRENT_LIST_DIR}/../src/hotkey/launch_config.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KEYVANE_VERSION_HEADER} ${KEYVANE_CONFIG_HEADER})

foreach(field MAJOR MINOR PATCH BUILD)
  keyvane_header_define(KEYVANE_VERSION_${field} ${KEYVANE_VERSION_HEADER} KEYVANE_VERSION_${field})
endforeach()
set(KEYVANE_VERSION ${KEYVANE_VERSION_MAJOR}.${KEYVANE_VERSION_MINOR}.${KEYVANE_VERSION_PATCH}.${KEYVANE_VERSION_BUILD})

keyvane_header_define(KEYVANE_CONFIG_KEY ${KEYVANE_CONFIG_HEADER} KEYVANE_CONFIG_KEY)
keyvane_header_define(KEYVANE_CONFIG_FILE_VALUE ${KEYVANE_CONFIG_HEADER} KEYVANE_CONFIG_FILE_VALUE)
keyvane_header_define(KEYVANE_CONFIG_PARAMETERS_VALUE ${KEYVANE_CONFIG_HEADER} KEYVANE_CONFIG_PARAMETERS_VALUE)
keyvane_header_define(KEYVANE_CONFIG_VALUE_BYTES ${KEYVANE_CONFIG_HEADER} KEYVANE_CONFIG_VALUE_BYTES)

# Fixed for the product's lifetime: each version of the package finds and replaces the earlier ones by
# it, and tools find the installed product by it.
set(KEYVANE_UPGRADE_CODE "505ADC81-63B0-429F-BC73-70B1CC54947A")
