// Rewrites the table of finding codes in a documentation file from the
// table in code: findings_doc FILE. The file keeps everything outside its
// lines "<!-- findings:begin -->" and "<!-- findings:end -->". Exit status 0
// when the file holds the table (rewritten or already so), 1 when it cannot
// be read or written or has no markers. Run by the build target
// findings-doc.
#include "tools/mediacheck/finding_codes.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: findings_doc FILE\n";
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "findings_doc: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::string doc;
    if (!mediacheck::withFindingsTable(text.str(), doc)) {
        std::cerr << "findings_doc: " << argv[1] << " has no findings:begin/end markers\n";
        return 1;
    }
    if (doc == text.str())
        return 0;
    // Written beside it and moved over it: an interrupted run leaves the
    // old file whole.
    const std::string tmp = std::string(argv[1]) + ".tmp";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << doc;
    out.close();
    if (!out || std::rename(tmp.c_str(), argv[1]) != 0) {
        std::remove(tmp.c_str());
        std::cerr << "findings_doc: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
