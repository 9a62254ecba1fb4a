// SPDX-License-Identifier: Apache-2.0
#include "HBAScanB.h"

#include <cstring>
#include <memory>
#include <string>

#include "BoundedText.h"
#include "Command.h"
#include "Diagnostics.h"
#include "HBAInfoB.h"
#include "PlainEnvironment.h"
#include "SafeText.h"
#include "VersionNumber.h"

namespace {

const char kEnumerationPipeline[] = "lspci | grep Durozaz | awk '{print $1}'";

const char kNotWritten[] = "no discovery document written";

// Every program the discovery's pipelines name. The shell says "not found"
// for a missing one on standard error and the pipeline's last filter still
// exits 0 with no output: without lspci every adapter would be reported
// absent, without strings every installed version empty.
const char* const kPipelinePrograms[] = {"lspci", "grep", "awk", "ls",   "cat",
                                         "sed",   "tr",   "cut", "head", "strings"};

// The first program of the pipelines that the shell will not find, or
// nullptr.
const char* MissingProgram(const PlainEnvironment& environment)
{
    for (const char* program : kPipelinePrograms) {
        if (!environment.Finds(program))
            return program;
    }
    return nullptr;
}

} // namespace

HBAScanB::HBAScanB(const char* config_file_name, int debug_value)
    : HBAScan(config_file_name, debug_value)
{
    BoundedText::CopyBounded(TypeStr, "Durozaz");
    // Traced under "HBAScan::", the label these lines have always had:
    // whoever compares traces of runs matches them by it.
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): ConfigurationFile=%s\n", ConfigurationFile);
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): TarnromVerStr=%s\n", TarnromVerStr);
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): TypeStr=%s\n", TypeStr);
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): TakesEffectStr=%s\n", TakesEffectStr);
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): VersionStr=%s\n", VersionStr);
    Diagnostics::Trace(debug, "HBAScan::HBAScanB(): AltName=%s\n", AltName);
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
                    "HBAScanB::CreateXmlFile(): Error creating the xml writer\n");
    if (!OpenWriter())
        return Fail(document.Failure("create", kNotWritten),
                    "HBAScanB::CreateXmlFile(): Error creating the xml writer\n");
    Diagnostics::Trace(debug, "HBAScanB::CreateXmlFile(): XML file %s successfully created\n",
                       OutputFileName);

    if (!WriteXmlHeader())
        return Fail(document.Failure("write", kNotWritten),
                    "HBAScanB::CreateXmlFile(): Error writing XML header elements\n");
    Diagnostics::Trace(debug,
                       "HBAScanB::CreateXmlFile(): Successfully created all XML header elements\n");

    const PlainEnvironment environment;
    if (const char* missing = MissingProgram(environment))
        return Fail(std::string("cannot run the discovery's commands: ") + missing +
                        " is not on PATH (" + SafeText::ForLine(environment.SearchPath().c_str()) +
                        "); " + kNotWritten,
                    "HBAScanB::CreateXmlFile(): Error running the discovery's commands\n");

    // Pipelines that never ran or were stopped at their limit say nothing
    // about the machine, and neither does an image without a version: an
    // answer built on them would be wrong, so there is no document at all.
    const Command::RunFailures before = Command::Failures();
    VersionProblem problem{std::string(), ""};
    ScanAdapters(*enumeration, before, &problem);
    enumeration.reset();
    const Command::RunFailures after = Command::Failures();
    if (after.failed != nullptr)
        return Fail(std::string("\"") + after.failed + "\" " + after.failure + "; " + kNotWritten,
                    "HBAScanB::CreateXmlFile(): Error running the discovery's commands\n");
    if (after.start_failures != before.start_failures)
        return Fail(std::string("cannot run the discovery's commands (") + after.last_start_step +
                        ": " + std::strerror(after.last_start_error) + "); " + kNotWritten,
                    "HBAScanB::CreateXmlFile(): Error running the discovery's commands\n");
    if (!problem.message.empty())
        return Fail(problem.message + "; " + kNotWritten, problem.trace_line);

    if (!WriteXmlFooter())
        return Fail(document.Failure("write", kNotWritten),
                    "HBAScanB::CreateXmlFile(): Error writing out XML footer elements\n");
    Diagnostics::Trace(debug,
                       "HBAScanB::CreateXmlFile(): Successfully created XML footer elements\n");

    // The document is complete only once the writer has been freed; a write
    // that failed on the way (a full disk) shows there. Only then does it
    // take the output file name.
    if (xmlTextWriterEndDocument(writer) < 0 || !FreeWriter() || !document.Commit())
        return Fail(document.Failure("write", kNotWritten),
                    "HBAScanB::CreateXmlFile(): xmlTextWriterEndDocument() failed\n");
    Diagnostics::Trace(debug, "HBAScanB::CreateXmlFile(): Successfully closed out %s\n",
                       OutputFileName);
    return 1;
}

// The exit status is always 0, so a missing document is said on standard
// error, where whoever runs the tool sees it. What was written is removed:
// the output file name holds a complete document or nothing.
int HBAScanB::Fail(const std::string& message, const char* trace_line)
{
    DiscardDocument();
    Diagnostics::StderrLine("%s", message.c_str());
    Diagnostics::Trace(debug, "%s", trace_line);
    return 0;
}

// Probes every listed PCI function in listing order and writes a device
// element for each supported one that reports an installed BIOS version.
// Stops once a command could not be started or gave no answer (the failures
// since before), and before writing an adapter whose packaged or installed
// version is unknown or not a number (problem): compared against nothing, it
// would be told that a rewrite is all it gets, and compared by the digits
// that some other text happens to hold, anything at all.
void HBAScanB::ScanAdapters(Command& enumeration, const Command::RunFailures& before,
                            VersionProblem* problem)
{
    const char packaged_trace[] =
        "HBAScanB::CreateXmlFile(): Error reading the packaged boot BIOS version\n";
    // An enumeration that could not run has no output: no adapter is listed.
    (void)enumeration.Execute();
    enumeration.SetFieldSeparator("\n");
    enumeration.ResetIterator();
    for (char* address = enumeration.IteratorGetNext(); address != nullptr;
         address = enumeration.IteratorGetNext()) {
        std::unique_ptr<HBAInfoB> adapter(new HBAInfoB(address, debug));
        if (Command::Failures().Since(before))
            break;
        if (!adapter->IsSupported(ConfigurationFile)) {
            Diagnostics::Trace(debug, "HBAScanB::CreateXmlFile():***Hba %s is not supported***\n",
                               address);
        } else if (adapter->GetBiosActiveVersion()[0] == '\0') {
            Diagnostics::Trace(debug, "HBAScanB::CreateXmlFile():***Current BIOS version is "
                                      "empty so skipping HBA***\n");
        } else if (adapter->GetBiosVersion()[0] == '\0') {
            *problem = VersionProblem{"bfa_boot_fw holds no boot BIOS version", packaged_trace};
            break;
        } else if (!VersionNumber::IsNumber(adapter->GetBiosVersion())) {
            *problem = VersionProblem{"bfa_boot_fw holds boot BIOS version \"" +
                                          SafeText::ForLine(adapter->GetBiosVersion()) +
                                          "\", which is not a version number",
                                      packaged_trace};
            break;
        } else if (!VersionNumber::IsNumber(adapter->GetBiosActiveVersion())) {
            *problem = VersionProblem{
                "the adapter at " + SafeText::ForLine(address) + " reports boot BIOS version \"" +
                    SafeText::ForLine(adapter->GetBiosActiveVersion()) +
                    "\", which is not a version number",
                "HBAScanB::CreateXmlFile(): Error reading the installed boot BIOS version\n"};
            break;
        } else {
            // A device element that fails leaves the document unfinished,
            // which its end reports; the other adapters are still written.
            (void)adapter->WriteXml(writer);
        }
    }
}
