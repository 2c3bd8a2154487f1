#ifndef ZRN_TCPOINTERCHECKER_H
#define ZRN_TCPOINTERCHECKER_H

#include <QList>
#include <QObject>

namespace ZRN {

// Guards the allocation of pointer members in a constructor: record each member,
// allocate it, then check. A member still null at the check means memory ran out;
// the guard reports it, naming the owner's class, and ends the process.
class tcPointerChecker : public QObject
{
    Q_OBJECT

public:
    explicit tcPointerChecker(QObject* pParent = nullptr);

    // Sets the member to null and records its address. The guard never owns or
    // frees what the member points to.
    template <typename T>
    void addPointer(T*& rPointer)
    {
        rPointer = nullptr;
        mPointers.append(reinterpret_cast<void* const*>(&rPointer));
    }

    // Returns when every recorded member holds an object; otherwise never returns.
    void checkPointers() const;

    // Reports the failed allocation in the owner (may be null) and exits with code 1.
    [[noreturn]] static void failNoMemory(const QObject* pOwner);

private:
    QList<void* const*> mPointers;
};

} // namespace ZRN

#endif
