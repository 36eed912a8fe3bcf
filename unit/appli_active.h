// Application-activity objects of the unit (stand-in): the object-pointer
// table C_OBJ_PTR_Table and the activity object C_APPLI_ACTIVE that the
// application-activity monitor registers under the identifiers (6000, 0),
// with the setters that tests and the simulator use to play a unit.
//
// Start state (resetAppliActive, called by unit::installAll): one activity
// object is registered under (6000, 0) and reports the application active.
#ifndef UNIT_APPLI_ACTIVE_H
#define UNIT_APPLI_ACTIVE_H

#include <atomic>

// An application's activity state.
class C_APPLI_ACTIVE {
public:
    C_APPLI_ACTIVE() : m_activated(0) {}
    // Non-zero while the application is active. Any task.
    int IsActivated() { return m_activated.load(std::memory_order_relaxed); }
    // Sets the state (host control). Any task.
    void SetActivated(int p_activated) {
        m_activated.store(p_activated, std::memory_order_relaxed);
    }

private:
    std::atomic<int> m_activated;
};

// The unit's table of objects registered under two identifiers.
class C_OBJ_PTR_Table {
public:
    // The object registered under (p_id, p_sub_id), or null when none is.
    // The stand-in knows only (6000, 0), the application-activity object.
    // Any task.
    static void *GetObjPtr(unsigned short p_id, unsigned short p_sub_id);
};

namespace unit {

// Restores the start state described above.
void resetAppliActive();
// Registers the activity object under (6000, 0) (true) or removes it (false).
void setAppliActiveRegistered(bool registered);
// Sets the state the registered activity object reports.
void setAppliActive(bool active);

} // namespace unit

#endif
