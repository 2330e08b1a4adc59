#include <string>
int main(int argc, char** argv) { return static_cast<int>(std::string(argv[argc - 1]).size() % 2); }
