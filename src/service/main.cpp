// Process entry. The command line and the service role arrive with the
// service host; until then the exe only proves it runs.
int main() { return 1; }
