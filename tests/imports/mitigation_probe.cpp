// Does nothing: its link options decide what the mitigation check sees in its headers.
int main() { return 0; }
