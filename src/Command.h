#ifndef COMMAND_H
#define COMMAND_H

// Runs one shell command line, keeps its standard output in a fixed buffer
// and walks that output field by field at a one-character separator.
// The object is large; create it on the free store.
class Command {
public:
    static const int kTextWidth = 256;
    static const int kOutputWidth = 16353;
    static const int kDirWidth = 256;
    static const int kSubstringWidth = 16354;

    Command(const char* text, int debug);

    int ChangeOperatingDir(const char* dir);
    int Execute();
    const char* Output() const;
    void SetFieldSeparator(const char* sep);
    void ResetIterator();
    char* IteratorGetNext();

private:
    char command_text[kTextWidth];
    char output[kOutputWidth];
    char operating_dir[kDirWidth];
    char field_separator;
    char substring[kSubstringWidth];
    int current_char;
    int debug;
    int new_iterator;
    // False when the text given to the constructor did not fit: nothing runs.
    bool command_stored;
};

#endif
