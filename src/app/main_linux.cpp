// The Linux process shell: a single instance, the main object built and
// initialised, then a wait for SIGINT or SIGTERM and the orderly shutdown.
#include <csignal>
#include <memory>

#include "app/kolvex_dlg.h"
#include "app/single_instance.h"

int main()
{
    SingleInstance instance;
    if (instance.AnotherIsRunning()) {
        return 0;
    }

    // Block the stop signals in every thread; the main thread takes them
    // synchronously below. A write to a vanished client must not kill us.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto dlg = std::make_unique<CKolvexDlg>();
    dlg->OnInitDialog();

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    dlg->DestroyWindow();
    dlg.reset();
    return 0;
}
