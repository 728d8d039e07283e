// Fixed texts the application shows (message boxes, dialog questions), exactly as
// users and their documentation know them.
#pragma once

namespace torvalen::messages {

inline constexpr const char* title_error = "Error";
inline constexpr const char* title_warning = "Warning";

inline constexpr const char* init_error =
    "Torvalen initiailization error.\r\n"
    "Possible causes are bugs in Torvalen or operating system fault.\r\n"
    "Try clearing the settings entries for the Torvalen applicatio\r\n"
    "You will find a utility to do this next to the Torvalen program: torvalen-sweep";

inline constexpr const char* max_instances = "The maximum number of processors has been reached";
inline constexpr const char* duplicate_instance = "There is already an instance with this name";
inline constexpr const char* duplicate_rename = "There is already a processor with this name";
inline constexpr const char* close_question =
    "This will close the current processor and delete all the presets\r\nDo you want to continue?";
inline constexpr const char* delete_old_question =
    "Do you want to delete old registry entries?\r\n"
    "Do not select yes until you are sure you do not want to reevert to an older version of Torvalen\r\n"
    "By selecting yes yuu will destroy any presets you have devised\r\n"
    "If you want to preserve them first export them from the old version\r\n"
    "Then import them into this new version of Torvalen";
inline constexpr const char* delete_old_failed = "Registry delete failed.\r\nMaybe it has already been deleted";

inline constexpr const char* exit_question = "Do you really want to quit?";
inline constexpr const char* exit_title = "Exit Confirmation";

inline constexpr const char* password_wrong = "Password wrong";
inline constexpr const char* password_not_strong =
    "Password not strong.\r\nMust be at least 8 characters  long\r\n"
    "It must contain letters upper case and lower case,numbers and punctuation characters";
inline constexpr const char* password_delete_question =
    "You are about to delete the password\r\n"
    "This will mean the Torvalen application has no password security\r\n"
    "Do you want to proceed?";
inline constexpr const char* password_delete_title = "Severe warning";
inline constexpr const char* password_change_failed = "Change password failed";
inline constexpr const char* password_delete_failed = "Delete password failed";

// Texts of this program's own (no fixed text exists for these refusals).
inline constexpr const char* name_too_long = "A name can have at most 63 characters";
inline constexpr const char* defaults_all_question =
    "Set every control of this module to its default value?\r\nThe sound on air changes at once (Undo in the preset menu brings the values back).";
inline constexpr const char* defaults_page_question =
    "Set every control of this page to its default value?\r\nThe sound on air changes at once (Undo in the preset menu brings the values back).";
inline constexpr const char* defaults_group_question =
    "Set the controls of this window to their default values?\r\nThe sound on air changes at once (Undo in the preset menu brings the values back).";
inline constexpr const char* name_empty = "A name must not be empty or blanks only";
inline constexpr const char* name_bad_character = "A name cannot contain \"/\" or \"\\\"";
inline constexpr const char* name_not_text = "A name must be text (UTF-8) without control characters";
inline constexpr const char* password_too_long = "A password can have at most 63 characters";
inline constexpr const char* password_needed_on_network =
    "The password cannot be removed while the web interface listens on a network address:\r\n"
    "anyone on the network could change the settings.\r\nListen on 127.0.0.1 first.";
inline constexpr const char* locked = "Settings are locked: log on first";
inline constexpr const char* no_instance = "There is no instance";
inline constexpr const char* instance_create_failed = "The instance could not be created";
inline constexpr const char* rename_failed = "The instance could not be renamed";
inline constexpr const char* device_in_use = "Another instance already uses this device";
inline constexpr const char* settings_not_stored = "The settings could not be stored";

// Sound-card dialogs.
inline constexpr const char* device_not_attached = "You have selected a device that seems not to be attached";
inline constexpr const char* current_device_missing =
    "Current Device appears not be attached.\r\nIt may restart automatically when attached.\r\n"
    "Do you want to delete it?";

}  // namespace torvalen::messages
