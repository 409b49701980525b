// Writes the seed corpus of fuzz_key_value_store into the directory given.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  const char* seeds[] = {
      "CREATED_TIME=Tue May 26 14:03:07 2026\nUPDATED_TIME=Tue May 26 14:03:07 2026\n",
      "LATEST_DOWNLOAD=101\nLAST_DOWNLOAD_DATE=Wed Jun  3 09:00:00 2026\nLATEST_TRANSFER=101.bird\n",
      "  NAME = some value  \n#X=1\n  #X=1\nK=V=W\nZ=\nA\n\nCR=1\r\n",
      "H=0x000000FF\nD=2.500000\nB=1\nN=-12\n",
      "no equals sign at all",
  };
  int n = 0;
  for (const char* seed : seeds) {
    std::ofstream(std::string(argv[1]) + "/seed" + std::to_string(n++), std::ios::binary) << seed;
  }
  return 0;
}
