#include "HBAScanB.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Command.h"
#include "HBAInfoB.h"

namespace {

const char kEnumerationPipeline[] = "lspci | grep Durozaz | awk '{print $1}'";

const char kNotWritten[] = "no discovery document written";

} // namespace

HBAScanB::HBAScanB(const char* config_file_name, int debug_value)
    : HBAScan(config_file_name, debug_value)
{
    FwCompLibUtil::CopyBounded(TypeStr, "Durozaz");
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): ConfigurationFile=%s\n", ConfigurationFile);
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): TarnromVerStr=%s\n", TarnromVerStr);
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): TypeStr=%s\n", TypeStr);
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): TakesEffectStr=%s\n", TakesEffectStr);
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): VersionStr=%s\n", VersionStr);
    FwCompLibUtil::Trace(debug, "HBAScan::HBAScanB(): AltName=%s\n", AltName);
}

HBAScanB::HBAScanB() : HBAScan()
{
}

int HBAScanB::CreateXmlFile()
{
    std::unique_ptr<Command> enumeration(new Command(kEnumerationPipeline, debug));

    // Without a usable output file name there is no document to write.
    if (OutputFileName[0] == '\0')
        return Fail(std::string(ConfigurationFile) + " " + OutputFileNameProblem + "; " +
                        kNotWritten,
                    "Error creating the xml writer");
    if (!OpenWriter())
        return Fail(OutputFailure("create", kNotWritten), "Error creating the xml writer");
    FwCompLibUtil::Trace(debug, "HBAScanB::CreateXmlFile(): XML file %s successfully created\n",
                         OutputFileName);

    if (!WriteXmlHeader())
        return Fail(OutputFailure("write", kNotWritten), "Error writing XML header elements");
    FwCompLibUtil::Trace(
        debug, "HBAScanB::CreateXmlFile(): Successfully created all XML header elements\n");

    // Pipelines that never ran say nothing about the machine: an answer built
    // on them would be wrong, so there is no document at all.
    const int start_failures = Command::StartFailures();
    ScanAdapters(*enumeration, start_failures);
    enumeration.reset();
    if (Command::StartFailures() != start_failures)
        return Fail(std::string("cannot run the discovery's commands (") +
                        std::strerror(Command::LastStartError()) + "); " + kNotWritten,
                    "Error running the discovery's commands");

    if (!WriteXmlFooter())
        return Fail(OutputFailure("write", kNotWritten), "Error writing out XML footer elements");
    FwCompLibUtil::Trace(debug,
                         "HBAScanB::CreateXmlFile(): Successfully created XML footer elements\n");

    // The document is complete only once the writer has been freed; a write
    // that failed on the way (a full disk) shows there. Only then does it
    // take the output file name.
    if (xmlTextWriterEndDocument(writer) < 0 || !FreeWriter() || !CommitDocument())
        return Fail(OutputFailure("write", kNotWritten), "xmlTextWriterEndDocument() failed");
    FwCompLibUtil::Trace(debug, "HBAScanB::CreateXmlFile(): Successfully closed out %s\n",
                         OutputFileName);
    return 1;
}

// The exit status is always 0, so a missing document is said on standard
// error, where whoever runs the tool sees it. What was written is removed:
// the output file name holds a complete document or nothing.
int HBAScanB::Fail(const std::string& message, const char* step_trace)
{
    DiscardDocument();
    (void)fprintf(stderr, "hba-discovery: %s\n", message.c_str());
    FwCompLibUtil::Trace(debug, "HBAScanB::CreateXmlFile(): %s\n", step_trace);
    return 0;
}

std::string HBAScanB::OutputFailure(const char* action, const char* outcome) const
{
    std::string message = std::string("cannot ") + action + " " + OutputFileName;
    if (const char* reason = OutputError())
        message += std::string(" (") + reason + ")";
    return message + "; " + outcome;
}

// Probes every listed PCI function in listing order and writes a device
// element for each supported one that reports an installed BIOS version.
// Stops once a command could not be started (more than start_failures).
void HBAScanB::ScanAdapters(Command& enumeration, int start_failures)
{
    // An enumeration that could not run has no output: no adapter is listed.
    (void)enumeration.Execute();
    enumeration.SetFieldSeparator("\n");
    enumeration.ResetIterator();
    for (char* address = enumeration.IteratorGetNext(); address != nullptr;
         address = enumeration.IteratorGetNext()) {
        std::unique_ptr<HBAInfoB> adapter(new HBAInfoB(address, debug));
        if (Command::StartFailures() != start_failures)
            break;
        if (!adapter->IsSupported(ConfigurationFile)) {
            FwCompLibUtil::Trace(debug, "HBAScanB::CreateXmlFile():***Hba %s is not supported***\n",
                                 address);
        } else if (adapter->GetBiosActiveVersion()[0] == '\0') {
            FwCompLibUtil::Trace(debug, "HBAScanB::CreateXmlFile():***Current BIOS version is "
                                        "empty so skipping HBA***\n");
        } else {
            // A device element that fails leaves the document unfinished,
            // which its end reports; the other adapters are still written.
            (void)adapter->WriteXml(writer);
        }
    }
}
