# The desktop program: quoralith_shell holds the Qt Widgets part of the shell
# (main window, picture, sound, help, links, dialogs) and quoralith-gui is the
# program. Included from this folder's CMakeLists when QUORALITH_BUILD_GUI is on.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets PrintSupport Multimedia)

# quoralith_qtcommon holds the Qt pieces that the shell, the sheets and the
# wizard all use: the modal seams, picture buttons and built-in pictures, and
# the help viewer.
set(qtcommon_sources dib.cpp folder_browser.cpp help_viewer.cpp picture_button.cpp recent_menu.cpp resource_picture.cpp
  ui_seams.cpp)
set(qtcommon_headers dib.h folder_browser.h help_viewer.h picture_button.h recent_menu.h resource_picture.h ui_seams.h)
list(TRANSFORM qtcommon_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
list(TRANSFORM qtcommon_headers PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
qt_add_library(quoralith_qtcommon STATIC ${qtcommon_sources} ${qtcommon_headers})
set_target_properties(quoralith_qtcommon PROPERTIES AUTOMOC ON)
# Built-in pictures, addressed as :/bitmaps/<resource id or name>.
set(picture_aliases
  toolbar=2 about=132 wizard_start=135 wizard_kind=136 wizard_base=137 wizard_delta=138
  wizard_updated=139 ROCKET64U=ROCKET64U ROCKET64D=ROCKET64D VIDEOU=VIDEOU VIDEOX=VIDEOX PLAYERU=PLAYERU)
set(picture_files)
foreach(entry IN LISTS picture_aliases)
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 file)
  list(GET pair 1 alias)
  set(path ${PROJECT_SOURCE_DIR}/resources/bitmaps/${file}.bmp)
  set_source_files_properties(${path} PROPERTIES QT_RESOURCE_ALIAS ${alias})
  list(APPEND picture_files ${path})
endforeach()
qt_add_resources(quoralith_qtcommon quoralith_pictures PREFIX "/bitmaps" FILES ${picture_files})
target_include_directories(quoralith_qtcommon PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quoralith_qtcommon PUBLIC quoralith_base Qt6::Widgets Qt6::PrintSupport)

# The rest of the shell: main window, view, document, sound, links, dialogs.
set(shell_gui_sources
  about_dialog.cpp link_static.cpp lock_keys.cpp main_frame.cpp morvane_app.cpp morvane_doc.cpp
  morvane_view.cpp opportunities_dialog.cpp wave_sound.cpp)
set(shell_gui_headers
  about_dialog.h commands.h link_static.h lock_keys.h main_frame.h morvane_app.h morvane_doc.h
  morvane_view.h opportunities_dialog.h wave_sound.h)
list(TRANSFORM shell_gui_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
list(TRANSFORM shell_gui_headers PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

qt_add_library(quoralith_shell STATIC ${shell_gui_sources} ${shell_gui_headers})
set_target_properties(quoralith_shell PROPERTIES AUTOMOC ON)
set_source_files_properties(${PROJECT_SOURCE_DIR}/resources/icons/quoralith.png PROPERTIES QT_RESOURCE_ALIAS quoralith.png)
qt_add_resources(quoralith_shell quoralith_icons PREFIX "/icons"
  FILES ${PROJECT_SOURCE_DIR}/resources/icons/quoralith.png)

target_include_directories(quoralith_shell PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quoralith_shell PUBLIC quoralith_qtcommon quoralith_sheets_gui quoralith_wizard quoralith_mail_gui quoralith_base
  quoralith_settings quoralith_jobs quoralith_jobs_gui quoralith_version Qt6::Widgets Qt6::PrintSupport Qt6::Multimedia)

qt_add_executable(quoralith-gui ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
set_target_properties(quoralith-gui PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  WIN32_EXECUTABLE OFF)
target_link_libraries(quoralith-gui PRIVATE quoralith_shell)
add_dependencies(quoralith-gui quoralith_data)
install(TARGETS quoralith-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

add_subdirectory(${PROJECT_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/resources)
