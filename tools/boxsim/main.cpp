// tapir-boxsim entry (the simulator arrives with the transfer work).
int main() { return 0; }
