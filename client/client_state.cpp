// The one client_state of the program.
#include "client/client_state.h"

client_state g_client = {
    "",             // name
    INVALID_SOCKET, // chat_socket
    "",             // server
    DEFAULT_PORT,   // port
    NULL,           // receive_thread
    std::string(),  // pending_entry
    NULL,           // receive_start
    NULL,           // main_window
    NULL,           // transcript_box
    NULL,           // input_box
    NULL,           // send_button
    NULL,           // member_list
};
