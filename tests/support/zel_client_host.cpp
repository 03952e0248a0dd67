// What zelmar_app's start-up defines and the app-client library uses, for the client test programs.
extern "C" {
int gs_zelmar_app_running = 1;
}
