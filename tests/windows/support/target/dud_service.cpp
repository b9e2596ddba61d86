// A service program that cannot serve: it ends at once with 0, whatever it is asked to do, as a
// broken build of TamsuSerB.exe that "installed" nothing would. The setup built with it in place
// of the real one must find that out and roll back.
int main() { return 0; }
