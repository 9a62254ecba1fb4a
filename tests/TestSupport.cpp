#include "TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <libxml/parser.h>

ScratchDir::ScratchDir(bool enter)
{
    char tmpl[] = "/tmp/hba-discovery-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
    if (enter) {
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(path);
    }
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    if (!previous.empty())
        std::filesystem::current_path(previous, ec);
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool IsWellFormedXml(const std::string& path)
{
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                           XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return false;
    xmlFreeDoc(doc);
    return true;
}
