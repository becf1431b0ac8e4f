# The Windows window face: Win32 dialogs over the engine, no toolkit.
# Included from CMakeLists.txt on Windows, after the brenvik target.

# ================================================================ resources
# The resource script (dialog templates, texts, pictures, version block and
# manifest) and the pictures it takes, drawn at build time from the project's
# own SVG files into the build folder.
#
# Resources only count when they are linked into the executable itself: a
# static library's resource object is dropped by the linker, since nothing
# refers to it. So they sit in an OBJECT library, whose object goes straight
# into every executable that links it:
#   target_link_libraries(<program> PRIVATE brenvik_win32_resources)
# BRENVIK_WIN32_RESOURCES names the script itself, for target_sources().

enable_language(RC)
find_program(BRENVIK_RSVG_CONVERT rsvg-convert REQUIRED)  # Debian: librsvg2-bin
find_program(BRENVIK_IMAGE_CONVERT NAMES convert-im6.q16 convert REQUIRED)  # Debian: imagemagick
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(BRENVIK_WIN32_RESOURCES ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/res/brenvik.rc)
set(win32_drawings ${CMAKE_CURRENT_SOURCE_DIR}/src/res)
set(win32_pictures ${CMAKE_CURRENT_BINARY_DIR}/win32_pictures)
file(MAKE_DIRECTORY ${win32_pictures})

# Renders DRAWING (an SVG under src/res) at each size as <name>_<size>.png
# and puts the file names in OUT_VAR. With BACKGROUND, transparent parts
# become that colour.
function(brenvik_win32_render out_var name drawing)
  cmake_parse_arguments(PARSE_ARGV 3 render "" "BACKGROUND" "SIZES")
  set(background)
  if(render_BACKGROUND)
    set(background --background-color=${render_BACKGROUND})
  endif()
  set(pngs)
  foreach(size ${render_SIZES})
    string(REPLACE "x" ";" extent "${size}x${size}")  # "95x240" or "16" -> width;height
    list(GET extent 0 width)
    list(GET extent 1 height)
    set(png ${win32_pictures}/${name}_${width}x${height}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${BRENVIK_RSVG_CONVERT} --width=${width} --height=${height} ${background}
              --output=${png} ${win32_drawings}/${drawing}
      DEPENDS ${win32_drawings}/${drawing} VERBATIM)
    list(APPEND pngs ${png})
  endforeach()
  set(${out_var} ${pngs} PARENT_SCOPE)
endfunction()

# Icons: one .ico per drawing with every size in it; Windows picks the size
# it needs. The pictures are true colour with alpha: the old 16-colour limit
# is not kept, the sizes are.
function(brenvik_win32_icon name drawing)
  brenvik_win32_render(pngs ${name} ${drawing} SIZES ${ARGN})
  add_custom_command(OUTPUT ${win32_pictures}/${name}.ico
    COMMAND ${BRENVIK_IMAGE_CONVERT} ${pngs} ${win32_pictures}/${name}.ico
    DEPENDS ${pngs} VERBATIM)
endfunction()
brenvik_win32_icon(app_icon app_icon.svg 16 24 32 48 64 256)
# The browse button is small: the small-icon size at each DPI step.
brenvik_win32_icon(folder folder.svg 16 20 24 32)

# The hand cursor, 32x32, with its hot spot on the fingertip of the drawing.
brenvik_win32_icon(hand_icon hand_cursor.svg 32)
add_custom_command(OUTPUT ${win32_pictures}/hand_cursor.cur
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ico_to_cur.py
          ${win32_pictures}/hand_icon.ico ${win32_pictures}/hand_cursor.cur 12 2
  DEPENDS ${win32_pictures}/hand_icon.ico ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ico_to_cur.py VERBATIM)

# The pictures drawn for the window's DPI: at 100, 125, 150 and 200 % of
# their old sizes. The page picks the set for the DPI of the monitor it is on.
set(win32_dpi_steps 100 125 150 200)
set(win32_dpi_pictures)

# The job table's row images, idle, busy, checking and done from left to
# right in one strip of four square images (16 pixels at 100 %). White is
# the image list's transparent colour, so the drawings are laid on white.
foreach(step ${win32_dpi_steps})
  math(EXPR size "(16 * ${step} + 50) / 100")
  set(row_pngs)
  foreach(row idle busy checking done)
    brenvik_win32_render(png row_${row} row_${row}.svg SIZES ${size} BACKGROUND white)
    list(APPEND row_pngs ${png})
  endforeach()
  add_custom_command(OUTPUT ${win32_pictures}/row_images_${step}.bmp
    COMMAND ${BRENVIK_IMAGE_CONVERT} ${row_pngs} +append -background white -alpha remove
            -type TrueColor BMP3:${win32_pictures}/row_images_${step}.bmp
    DEPENDS ${row_pngs} VERBATIM)
  list(APPEND win32_dpi_pictures ${win32_pictures}/row_images_${step}.bmp)
endforeach()

# The side picture at the left of both pages, 95x240 at 100 %.
foreach(step ${win32_dpi_steps})
  math(EXPR width "(95 * ${step} + 50) / 100")
  math(EXPR height "(240 * ${step} + 50) / 100")
  brenvik_win32_render(side_png side_picture side_picture.svg SIZES ${width}x${height}
                       BACKGROUND white)
  add_custom_command(OUTPUT ${win32_pictures}/side_picture_${step}.bmp
    COMMAND ${BRENVIK_IMAGE_CONVERT} ${side_png} -alpha remove
            -type TrueColor BMP3:${win32_pictures}/side_picture_${step}.bmp
    DEPENDS ${side_png} VERBATIM)
  list(APPEND win32_dpi_pictures ${win32_pictures}/side_picture_${step}.bmp)
endforeach()

set(win32_picture_files
  ${win32_pictures}/app_icon.ico
  ${win32_pictures}/folder.ico
  ${win32_pictures}/hand_cursor.cur
  ${win32_dpi_pictures})
add_custom_target(brenvik_win32_pictures DEPENDS ${win32_picture_files})

# windres writes no dependency file: everything the script takes in is named.
set_source_files_properties(${BRENVIK_WIN32_RESOURCES} PROPERTIES
  INCLUDE_DIRECTORIES "${CMAKE_CURRENT_SOURCE_DIR}/src;${CMAKE_CURRENT_SOURCE_DIR}/src/win32/res;${win32_pictures}"
  OBJECT_DEPENDS "${win32_picture_files};${CMAKE_CURRENT_SOURCE_DIR}/src/win32/resource_ids.h;${CMAKE_CURRENT_SOURCE_DIR}/src/win32/res/brenvik.manifest")
add_library(brenvik_win32_resources OBJECT ${BRENVIK_WIN32_RESOURCES})
add_dependencies(brenvik_win32_resources brenvik_win32_pictures)
# The version block and the manifest belong to brenvik.exe whichever face runs.
target_link_libraries(brenvik PRIVATE brenvik_win32_resources)
# ================================================================ end of resources

# ================================================================ the face
# The two pages, their furniture, the prompt and the folder picker: Win32
# only, no toolkit. brenvik.exe is a window-subsystem program that runs this
# face by default and the console face with --text (app/main.cpp attaches
# to the console it was started from).
file(GLOB win32_face_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/win32/*.cpp)
add_library(brenvik_win32 STATIC ${win32_face_sources})
target_link_libraries(brenvik_win32 PUBLIC
  brenvik_core comctl32 comdlg32 ole32 uuid shell32 user32 gdi32)
target_compile_definitions(brenvik_win32 PUBLIC BRENVIK_HAVE_WIN32_FACE)
target_link_libraries(brenvik PRIVATE brenvik_win32)
set_target_properties(brenvik PROPERTIES WIN32_EXECUTABLE ON)

# brenvik.com: the same program built for the console subsystem, beside
# brenvik.exe, the pair Windows tools use. Typed as `brenvik` in cmd.exe or
# PowerShell it is the one found first (.COM comes before .EXE in PATHEXT):
# the console waits for it, it writes into that console and its exit
# status reaches %ERRORLEVEL% and $LASTEXITCODE. Explorer and the Start
# menu start brenvik.exe, whose window needs no console.
add_executable(brenvik_console src/app/main.cpp)
target_link_libraries(brenvik_console PRIVATE
  brenvik_app brenvik_terminal brenvik_win32 brenvik_win32_resources)
set_target_properties(brenvik_console PROPERTIES OUTPUT_NAME brenvik SUFFIX .com)
# ================================================================ end of the face
