#ifndef PLOVERN_CREATEADDSTART_H
#define PLOVERN_CREATEADDSTART_H

class WorkingState;

// "Create/Add to a Zip file": the user names a new or existing archive in a
// save dialog; it becomes the current archive and the add-files window opens.
// Nothing is created here: a new archive comes into being at its first add.
class CreateAddStart
{
public:
    explicit CreateAddStart(WorkingState& state);
    void run();

private:
    WorkingState& m_main;
};

#endif // PLOVERN_CREATEADDSTART_H
