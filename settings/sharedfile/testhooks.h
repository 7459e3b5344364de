// Places where a test may step in while a save runs; nothing but tests sets them.
#ifndef TESTHOOKS_H
#define TESTHOOKS_H

#include <QString>

#include <functional>

namespace sharedFileTestHooks {

// Called with the new file's name after it is written and closed, just before it takes the old
// one's place (Windows).
extern std::function<void(const QString &newFile)> beforeReplace;

} // namespace sharedFileTestHooks

#endif // TESTHOOKS_H
