# The program's resources: our own artwork (resources/Assets), the crash reporter's
# settings, system symbols from @tabler/icons, country flags from flag-icons and the
# world map's land from world-atlas (Natural Earth; all three installed by scripts/setup
# into build/npm-assets, never committed), and a generated header with the names of the
# assets.
#   tandrel_add_resources(<target>)
set(TANDREL_NPM_ASSETS "${PROJECT_SOURCE_DIR}/build/npm-assets/node_modules" CACHE PATH
    "Folder holding the installed npm asset packages (@tabler/icons, flag-icons, world-atlas)")

# A program without its symbols, flags or map is not one to ship: stop, unless the build
# asks for that explicitly.
function(tandrel_missing_assets what lost)
  if(TANDREL_ALLOW_MISSING_ASSETS)
    message(WARNING "${what} not found in ${TANDREL_NPM_ASSETS}: building without ${lost} "
                    "(TANDREL_ALLOW_MISSING_ASSETS is on).")
  else()
    message(FATAL_ERROR "${what} not found in ${TANDREL_NPM_ASSETS}. Run scripts/setup (it installs them "
                        "from the npm registry), point TANDREL_NPM_ASSETS at an installed node_modules, or "
                        "configure with -DTANDREL_ALLOW_MISSING_ASSETS=ON to build without ${lost}.")
  endif()
endfunction()

function(tandrel_add_resources target)
  set(res ${PROJECT_SOURCE_DIR}/resources)
  set(files)
  set(npm_files)
  set(names)

  file(GLOB artwork CONFIGURE_DEPENDS ${res}/Assets/*.svg)
  list(SORT artwork)
  foreach(file IN LISTS artwork)
    get_filename_component(name ${file} NAME_WE)
    set_source_files_properties(${file} PROPERTIES QT_RESOURCE_ALIAS "assets/${name}.svg")
    list(APPEND files ${file})
    list(APPEND names ${name})
  endforeach()

  set(colors_file ${res}/Assets/colors.json)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${colors_file} ${res}/symbols.txt)
  set_source_files_properties(${colors_file} PROPERTIES QT_RESOURCE_ALIAS "assets/colors.json")
  list(APPEND files ${colors_file})
  file(READ ${colors_file} colors_json)
  string(JSON color_count LENGTH "${colors_json}")
  math(EXPR last "${color_count} - 1")
  foreach(i RANGE ${last})
    string(JSON name MEMBER "${colors_json}" ${i})
    list(APPEND names ${name})
  endforeach()

  set_source_files_properties(${res}/CrashReporter.json PROPERTIES QT_RESOURCE_ALIAS "CrashReporter.json")
  list(APPEND files ${res}/CrashReporter.json)

  set(icons ${TANDREL_NPM_ASSETS}/@tabler/icons/icons)
  set(flags ${TANDREL_NPM_ASSETS}/flag-icons/flags/4x3)
  if(EXISTS ${icons} AND EXISTS ${flags})
    # Copies with the names the program asks for: a source file can carry only one alias.
    set(staged ${CMAKE_CURRENT_BINARY_DIR}/npm-assets)
    file(STRINGS ${res}/symbols.txt symbol_lines REGEX "^[^#]")
    foreach(line IN LISTS symbol_lines)
      string(REPLACE " " ";" pair "${line}")
      list(GET pair 0 symbol)
      list(GET pair 1 icon)
      if(NOT EXISTS ${icons}/${icon}.svg)
        message(FATAL_ERROR "resources/symbols.txt: ${icons}/${icon}.svg is not in the installed icon set")
      endif()
      configure_file(${icons}/${icon}.svg ${staged}/symbols/${symbol}.svg COPYONLY)
      list(APPEND npm_files ${staged}/symbols/${symbol}.svg)
    endforeach()
    configure_file(${TANDREL_NPM_ASSETS}/@tabler/icons/LICENSE ${staged}/licenses/tabler-icons.txt COPYONLY)
    configure_file(${TANDREL_NPM_ASSETS}/flag-icons/LICENSE ${staged}/licenses/flag-icons.txt COPYONLY)
    list(APPEND npm_files ${staged}/licenses/tabler-icons.txt ${staged}/licenses/flag-icons.txt)
    file(GLOB flag_files ${flags}/*.svg)
    foreach(file IN LISTS flag_files)
      get_filename_component(code ${file} NAME_WE)
      configure_file(${file} ${staged}/flags/${code}.svg COPYONLY)
      list(APPEND npm_files ${staged}/flags/${code}.svg)
    endforeach()
    qt_add_resources(${target} tandrel_npm_assets PREFIX "/" BASE ${staged}
      FILES ${npm_files})
  else()
    tandrel_missing_assets("Icon and flag sets" "system symbols and flags")
  endif()

  # The map reads the TopoJSON as it is; the resource compiler compresses it.
  # 1:110m for views of the whole world, 1:50m closer in.
  set(atlas ${TANDREL_NPM_ASSETS}/world-atlas)
  if(EXISTS ${atlas}/land-50m.json AND EXISTS ${atlas}/land-110m.json)
    set(map_staged ${CMAKE_CURRENT_BINARY_DIR}/map-data)
    set(map_files)
    foreach(scale 110m 50m)
      configure_file(${atlas}/land-${scale}.json ${map_staged}/map/land-${scale}.json COPYONLY)
      list(APPEND map_files ${map_staged}/map/land-${scale}.json)
    endforeach()
    configure_file(${atlas}/LICENSE ${map_staged}/licenses/world-atlas.txt COPYONLY)
    qt_add_resources(${target} tandrel_map_data PREFIX "/" BASE ${map_staged}
      FILES ${map_files} ${map_staged}/licenses/world-atlas.txt)
  else()
    tandrel_missing_assets("World map data" "the map's land")
  endif()

  qt_add_resources(${target} tandrel_assets PREFIX "/" FILES ${files})

  # The names of the assets, so code cannot ask for one that does not exist.
  set(header "#pragma once\n\n// Generated from resources/Assets by CMake. Do not edit.\nnamespace tandrel::AssetName {\n")
  foreach(name IN LISTS names)
    string(APPEND header "inline constexpr const char* ${name} = \"${name}\";\n")
  endforeach()
  string(APPEND header "}  // namespace tandrel::AssetName\n")
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/AssetNames.h CONTENT "${header}")
endfunction()
