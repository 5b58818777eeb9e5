// Names of the machine settings, of the members of the system's JSON documents
// and of the IPC message keys. Every component spells a key through this table.
#pragma once

namespace configKeys {

// Product names (used by the agent's side; kept so both sides share one table).
inline constexpr const wchar_t* PRODUCT_SHORT_NAME = L"twQuillmark";
inline constexpr const wchar_t* PRODUCT_NAME = L"Tarnwell Quillmark Agent";
inline constexpr const wchar_t* PRODUCT_SERVICE_NAME = L"Tarnwell Quillmark Agent Service";

// Machine settings under HKLM "Software\Tarnwell".
inline constexpr const char* PATH = "Path";
inline constexpr const char* MACHINE_GUID = "machine-guid";
inline constexpr const char* INSTALL_PENDING = "install-pending";
inline constexpr const char* INSTALLING_VERSION = "installing-version";
inline constexpr const char* INSTALL_CABFILE = "install_cabfile";
inline constexpr const char* UPGRADE_VERSION = "upgrade_version";
inline constexpr const char* INSTALLED_VERSION = "installed_version";
// The installation's journal (written only by InstallJournal). Where a pending
// installation stands, so that a start after any interruption goes on from
// there: "phase-one" (the reboot came; the extraction is due), "extracting"
// (files are being replaced), "extracted" (the files are in place; only the
// completion is due) or "restore" (a failed installation's backups are still
// to be put back).
inline constexpr const char* INSTALL_STAGE = "install-stage";
// Identity of the installation attempt.
inline constexpr const char* INSTALL_ATTEMPT = "install-attempt";
// The attempt's complete backups, one line each: "+" and the folder for a
// folder copied whole, "-" and the folder for one that was not there. Only
// what is listed here is ever restored.
inline constexpr const char* INSTALL_BACKUPS = "install-backups";
// A fresh installation put files on the disk that no completed installation
// owns yet: the agent does not count as installed.
inline constexpr const char* INSTALL_FRESH = "install-fresh";
// SHA-256 digest the recorded cabinet must have.
inline constexpr const char* INSTALL_CABHASH = "install_cabhash";
// "installed_version" before the attempt, put back when it is rolled back.
inline constexpr const char* INSTALL_PRIOR_VERSION = "install-prior-version";
// A runtime library the attempt placed in the library folder, taken away
// again when the attempt is rolled back.
inline constexpr const char* INSTALL_LIBRARY = "install-library";
inline constexpr const char* DLL_VERSION = "dll_version";
inline constexpr const char* DLL_FILE_NAME = "dll_file_name";
// The service host's record of the runtime libraries it binds (written only by
// LibraryFolder): the full path of the last library that proved itself by
// serving through its probation, and the one on trial as "<count> <full
// path>", the count being its trials that did not end cleanly.
inline constexpr const char* DLL_PROVED = "dll-proved";
inline constexpr const char* DLL_TRIAL = "dll-trial";
// Written by the runtime library when its start failed inside (its
// StartMonitoring returns all the same), removed by the host's LibraryFolder
// before it binds a library: the host counts such a start as a failed trial.
inline constexpr const char* DLL_START_FAILED = "dll-start-failed";
inline constexpr const char* IPC_PALVANE_PORT = "ipc_palvane_port";
inline constexpr const char* TCP_DRIVER = "tcp_driver";
inline constexpr const char* LEVEL = "level";
inline constexpr const char* REBOOT_MODE = "reboot-mode";
inline constexpr const char* CID = "cid";
// Base URL of the update server; the log server's address is derived from it.
inline constexpr const char* ENVIRONMENT = "environment";
inline constexpr const char* OVERRIDE_DOMAIN = "override-domain";

// Folder of the update runtime's library below the install path "Path" (no separator
// between them); the host loads the library from it and the cabinet extraction
// places a new library in it.
inline constexpr const char* PALVANE_LIBRARY_FOLDER = "Quillmark Palvane";

// Operating-system profile members.
inline constexpr const char* DOMAIN_TYPE = "domain_type";
inline constexpr const char* DOMAIN_NAME = "domain_name";
inline constexpr const char* MACHINE_GUID_JSON = "machine_guid";
inline constexpr const char* OS_SERIAL = "os_serial";
inline constexpr const char* OS_VERSION = "os_version";
inline constexpr const char* OS_CAPTION = "os_caption";

// Members of the update server's answer ("upgrade_version" is shared with the settings).
inline constexpr const char* DOWNLOAD_URL = "download_url";
inline constexpr const char* SHA256_HASH = "sha256Hash";
inline constexpr const char* AUTO_UPGRADE = "auto_upgrade";

// ServiceStatus members ("level" is shared with the settings).
inline constexpr const char* LOGGING = "logging";
inline constexpr const char* MAX_FILE_SIZE = "max_file_size";

// IPC message keys.
inline constexpr const char* IPC_REBROADCAST = "rebroadcast";
inline constexpr const char* IPC_POST_UIMESSAGE = "post-uimessage";
inline constexpr const char* IPC_SET_IKEY = "set-ikey";
inline constexpr const char* IPC_REQUEST_LOG_LEVEL = "request-log-level";
inline constexpr const char* IPC_CONFIG_REFRESH = "config-refresh";
inline constexpr const char* IPC_LOGIN_REQUEST = "login-request";
inline constexpr const char* IPC_RESET_REGISTER_STATE = "reset-register-state";
inline constexpr const char* IPC_LOGIN_SUCCESS = "login-success";
inline constexpr const char* IPC_CREATE_MQTT_SUBSCRIBR = "create_mqtt_subscribr";
inline constexpr const char* IPC_CMD_NOTIFY_HEALTH_STATE = "ipc_cmd_notify_health_state";
inline constexpr const char* IPC_ZTNA = "ztna";
inline constexpr const char* IPC_USER_LOGON = "user-logon";
inline constexpr const char* IPC_NETWORK_CHANGES = "network_changes";
inline constexpr const char* IPC_SETTING_CHANGES = "setting_changes";
inline constexpr const char* IPC_SERVICE_STATUS = "ServiceStatus";

// IPC message members.
inline constexpr const char* MESSAGE_CONTENT = "message-content";
inline constexpr const char* THEKEY = "thekey";
inline constexpr const char* LOGLEVEL = "loglevel";
inline constexpr const char* ASSIGNED_USERNAME = "assigned_username";
inline constexpr const char* USER_DEACTIVATED = "user_deactivated";
inline constexpr const char* LOGIN_URL = "login_url";
inline constexpr const char* NOTIFICATION_URL = "notification_url";
inline constexpr const char* TOPICS = "topics";
inline constexpr const char* URL = "url";
inline constexpr const char* SID = "sid";
inline constexpr const char* USERNAME = "username";
inline constexpr const char* IPC_CMD_HEALTH_STATE = "ipc_cmd_health_state";
inline constexpr const char* DATA_CENTERS = "data_centers";
inline constexpr const char* IP_ADDRESS = "ip_address";

// Names the agent's side uses; nothing in this system reads or writes them.
inline constexpr const char* CONFIGURATION = "configuration";
inline constexpr const char* CONFIG_VERSION = "config_version";
inline constexpr const char* PUSH_FREQUENCY_SEC = "push_frequency_sec";
inline constexpr const char* IGNORE_IF_SAME = "ignore_if_same";
inline constexpr const char* MAX_IGNORE_TIME_SEC = "max_ignore_time_sec";
inline constexpr const char* PULL_SETTINGS_FREQ_SEC = "pull_settings_freq_sec";
inline constexpr const char* REGISTRY = "registry";
inline constexpr const char* FILES = "files";
inline constexpr const char* PROCESSES = "processes";
inline constexpr const char* LOCAL_PROXY_ENABLED = "local_proxy_enabled";
inline constexpr const char* LOCAL_PROXY_CONFIG = "local_proxy_config";
inline constexpr const char* LOCAL_PROXY_PORT = "local_proxy_port";
inline constexpr const char* PROXY_TARGET = "proxy_target";
inline constexpr const char* PROXY_TARGET_PORT = "proxy_target_port";
inline constexpr const char* PROXY_TARGET_DATAPLANE_PORT = "proxy_target_dataplane_port";
inline constexpr const char* PROXY_ADDL_HEADERS = "proxy_addl_headers";
inline constexpr const char* PROXY_TARGET_USERNAME = "proxy_target_username";
inline constexpr const char* PROXY_TARGET_PASSWORD = "proxy_target_password";
inline constexpr const char* DOMAIN = "domain";
inline constexpr const char* SET_BROWSER_PACFILE = "set_browser_pacfile";
inline constexpr const char* BROWSER_PACFILE_URL = "browser_pacfile_url";
inline constexpr const char* SET_MANUAL_PROXY = "set_manual_proxy";
inline constexpr const char* TW_PROXY_DOMAINS = "tw_proxy_domains";
inline constexpr const char* LOOPBACK_ENABLED_APP_CONTAINERS = "loopback_enabled_app_containers";
inline constexpr const char* ENDPOINT = "endpoint";
inline constexpr const char* PLATFORM = "platform";
inline constexpr const char* VERSION = "version";
inline constexpr const char* DEVICE_ID = "device_id";
inline constexpr const char* AGENT_VERSION = "agent_version";
inline constexpr const char* AGENT_TYPE = "agent_type";
inline constexpr const char* HEALTH_STATUS = "health_status";
inline constexpr const char* LOCAL_IP = "local_ip";
inline constexpr const char* LOGGED_IN_USER = "logged_in_user";
inline constexpr const char* LOGGED_IN_USER_SID = "logged_in_user_sid";
inline constexpr const char* HOSTNAME = "hostname";
inline constexpr const char* OPERATING_SYSTEM = "operating_system";
inline constexpr const char* WINDOWS_INFO = "windows_info";
inline constexpr const char* OSX_INFO = "osx_info";
inline constexpr const char* SEVERITY = "severity";
inline constexpr const char* ERROR_CODE = "error_code";
inline constexpr const char* ERROR_CODE_TEXT = "error_code_text";
inline constexpr const char* ERROR_MSG = "error_msg";
inline constexpr const char* NETWORK_LEVEL = "network-level";
inline constexpr const char* NETWORK_HOST = "network-host";
inline constexpr const char* NETWORK_PORT = "network-port";
inline constexpr const char* POST_LEVEL = "post-level";
inline constexpr const char* POST_URL = "post-url";
inline constexpr const char* LOG_TEST_MESSAGE = "log-test-message";
inline constexpr const char* TRUSTED_ROOT = "trusted-root";
inline constexpr const char* THUMBNAIL = "thumbnail";
inline constexpr const char* TRUSTED_ROOT_URL = "trusted-root-url";
inline constexpr const char* REQUEST_CONFIG_CHANGE = "request-config-change";
inline constexpr const char* LOG_FILE_LEVEL = "log-file-level";
inline constexpr const char* IOT_SETTINGS = "iot_settings";
inline constexpr const char* DEFAULT = "default";
inline constexpr const char* DIRECT = "direct";
inline constexpr const char* PROXY_IS_SET = "proxy-is-set";
inline constexpr const char* IPC_PORT = "ipc-port";
inline constexpr const char* MACHINE_GUID_ALIAS = "machine-guid";
inline constexpr const char* SASE_POLICY_TEXT = "sase_policy_text";
inline constexpr const char* SASE_AGENT_LUA_SCRIPT = "sase_agent_lua_script";
inline constexpr const char* SASE_POLICY_TEXT_API_URL = "sase_policy_text_api_url";
inline constexpr const char* UNINSTALLATION_CHECK_URL = "uninstallation_check_url";
inline constexpr const char* HEALTH_CHECK_SETTINGS = "health_check_settings";
inline constexpr const char* SWG_HEALTH_CHECKS_TO_FAIL = "swg_health_checks_to_fail";
inline constexpr const char* SWG_HEALTH_CHECK_FREQUENCY = "swg_health_check_frequency";
inline constexpr const char* SWG_HEALTH_CHECKS_TO_PASS = "swg_health_checks_to_pass";
inline constexpr const char* SWG_RESET_PAC_ON_FAIL = "swg_reset_pac_on_fail";
inline constexpr const char* HEALTH_CHECK_DOMAINS = "health_check_domains";
inline constexpr const char* HEALTH_CHECK_ENABLE = "health_check_enable";
inline constexpr const char* CERTIFICATE_AUTHORITY_MODE = "certificate_authority_mode";
inline constexpr const char* SET_ZTNA = "set_ztna";
inline constexpr const char* SASE_CONFIG = "sase_config";
inline constexpr const char* AGENT_OVERRIDE_ENDPOINT = "agent_override_endpoint";
inline constexpr const char* AGENT_INSTALLATION = "agent_installation";
inline constexpr const char* LAST_IP_ADDRESS = "last_ip_address";
inline constexpr const char* VX_OVERRIDE = "vx_override";
inline constexpr const char* VX_PROXYFQDN = "vx_proxyfqdn";
inline constexpr const char* POLICY_VERSION = "policy_version";

}  // namespace configKeys
