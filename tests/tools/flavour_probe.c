/* The test bed's probe, built for 32-bit and for 64-bit Windows: whether Wine runs it here, and
   ends it with this number, tells which flavours of the programs this machine can test. */
int main(void) { return 42; }
