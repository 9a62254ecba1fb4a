// SPDX-License-Identifier: Apache-2.0
#include "HBAScan.h"

#include <cstring>

#include "BoundedText.h"
#include "ConfigFile.h"
#include "Diagnostics.h"
#include "SafeText.h"
#include "XmlParserCleanup.h"

namespace {

const char kOutputSuffix[] = "_disc.xml";
const std::size_t kDroppedCharacters = 6;

} // namespace

HBAScan::HBAScan(const char* config_file_name, int debug_value) : HBAScan()
{
    debug = debug_value;
    util.SetDebugValue(debug_value);
    BoundedText::CopyBounded(ConfigurationFile, config_file_name);

    ConfigFile config(ConfigurationFile, debug);
    char component_file_name[512];
    BoundedText::CopyBounded(component_file_name, config.GetComponentFileName());
    DeriveOutputFileName(component_file_name, config.IsComponentFileNameCut(), config.WasOpened());

    SetCommonAttributes();
}

HBAScan::HBAScan()
    : debug(0),
      OutputFileName(),
      TarnromVerStr(),
      VersionStr(),
      TypeStr(),
      AltName(),
      TakesEffectStr(),
      ConfigurationFile(),
      writer(nullptr),
      util(),
      OutputFileNameProblem(),
      document(),
      error_guard()
{
}

HBAScan::~HBAScan()
{
    // Only a discovery that already failed leaves a writer or a document
    // file behind; its failure has been said. The writer goes first: freeing
    // it flushes into the file.
    DiscardDocument();
}

// The document is named after the component file less its last six
// characters. A name that would not give a document in the working directory
// under its own name leaves the output file name empty and says why.
void HBAScan::DeriveOutputFileName(const char* name, bool cut, bool opened)
{
    std::size_t len = std::strlen(name);
    const char* problem = nullptr;
    if (!opened)
        problem = "cannot be read";
    else if (len == 0)
        problem = "names no component file";
    else if (cut)
        problem = "names a component file longer than 19 characters";
    else if (len < kDroppedCharacters)
        problem = "names a component file shorter than six characters";
    else if (std::strchr(name, '/') != nullptr)
        problem = "names a component file that holds \"/\"";

    if (problem != nullptr) {
        BoundedText::CopyBounded(OutputFileNameProblem, problem);
        OutputFileName[0] = '\0';
        return;
    }
    // At most 19 characters of name: always fits.
    (void)BoundedText::FormatBounded(OutputFileName, sizeof(OutputFileName), "%.*s%s",
                                     static_cast<int>(len - kDroppedCharacters), name,
                                     kOutputSuffix);
}

const char* HBAScan::GetOutputFileName() const
{
    return OutputFileName;
}

const char* HBAScan::GetOutputFileNameProblem() const
{
    return OutputFileNameProblem;
}

void HBAScan::SetCommonAttributes()
{
    BoundedText::CopyBounded(TarnromVerStr, "2.0.0.0");
    BoundedText::CopyBounded(TakesEffectStr, "deferred");
    ReadConfigurationFile();
}

// A second reading of the file (the constructor's was the first), and each
// adapter's support check reads it once more, each with its own parser
// clean-up: no value is kept between questions, so that every answer is
// the file's as it is, and a broken file is said once a reading, which the
// tests and the man page count on.
void HBAScan::ReadConfigurationFile()
{
    ConfigFile config(ConfigurationFile, debug);
    BoundedText::CopyBounded(AltName, config.GetComponentTitle());
    BoundedText::CopyBounded(VersionStr, config.GetComponentVersion());
}

int HBAScan::OpenWriter()
{
    if (!document.Create(OutputFileName))
        return 0;
    xmlOutputBufferPtr out = document.NewOutput();
    if (out == nullptr) {
        DiscardDocument();
        return 0;
    }
    writer = xmlNewTextWriter(out);
    if (writer == nullptr) {
        (void)xmlOutputBufferClose(out);
        DiscardDocument();
        return 0;
    }
    error_guard.emplace(nullptr, DropOutputError);
    XmlParserCleanup::WriterOpened();
    return 1;
}

int HBAScan::FreeWriter()
{
    if (writer == nullptr)
        return 1;
    xmlFreeTextWriter(writer);
    writer = nullptr;
    error_guard.reset();
    XmlParserCleanup::WriterFreed();
    return document.Written() ? 1 : 0;
}

void HBAScan::DiscardDocument()
{
    (void)FreeWriter();
    document.Discard();
}

void HBAScan::DropOutputError(void* /*context*/, XmlErrorGuard::Error /*error*/)
{
}

int HBAScan::WriteXmlHeader()
{
    if (xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr) < 0) {
        Diagnostics::Trace(debug,
                           "HBAScan::WriteXmlHeader(): xmlTextWriterStartDocument() failed\n");
        return 0;
    }
    if (xmlTextWriterSetIndent(writer, 1) < 0) {
        Diagnostics::Trace(debug, "HBAScan::WriteXmlHeader(): xmlTextWriterSetIndent() failed\n");
        return 0;
    }
    if (xmlTextWriterStartElement(writer, BAD_CAST "tarn_rom_discovery") < 0) {
        Diagnostics::Trace(debug,
                           "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    std::string version = SafeText::ForXml(TarnromVerStr);
    if (xmlTextWriterWriteAttribute(writer, BAD_CAST "version", BAD_CAST version.c_str()) < 0) {
        Diagnostics::Trace(debug,
                           "HBAScan::WriteXmlHeader(): xmlTextWriterWriteAttribute() failed\n");
        return 0;
    }
    const FwCompLibUtil::ValueElement header[] = {
        {"type", TypeStr},
        {"alt_name", AltName},
        {"version", VersionStr},
        {"takes_effect", TakesEffectStr},
    };
    if (!util.WriteValueElements(writer, header))
        return 0;
    if (xmlTextWriterStartElement(writer, BAD_CAST "devices") < 0) {
        Diagnostics::Trace(debug,
                           "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    return 1;
}

int HBAScan::WriteXmlFooter()
{
    if (xmlTextWriterEndElement(writer) < 0 || xmlTextWriterEndElement(writer) < 0) {
        Diagnostics::Trace(debug, "HBAScan::WriteXmlFooter(): xmlTextWriterEndElement failed\n");
        return 0;
    }
    return 1;
}
