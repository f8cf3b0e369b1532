// mirastellon-tango: the stage as a Tango device, through the running panel's control socket.

#include "dvxstage.h"
#include "mirastellon_version.h"

#include <iostream>

void Tango::DServer::class_factory()
{
    add_class(DvxStageClass::init("DvxStage"));
}

int main(int argc, char *argv[])
{
    // Answered before Tango reads the command line, which would take either for an instance name.
    for (int i = 1; i < argc; ++i) {
        const std::string argument(argv[i]);
        if (argument == "--version") {
            std::cout << "mirastellon-tango " MIRASTELLON_VERSION "\n";
            return 0;
        }
        if (argument == "--help" || argument == "-h") {
            std::cout << "Usage: mirastellon-tango INSTANCE [-nodb -dlist DOMAIN/FAMILY/MEMBER]"
                         " [Tango and omniORB options]\n"
                         "The Tango device server of the Mirastellon stage panel: one DvxStage"
                         " device per panel,\nreached through the panel's control socket"
                         " (device property ControlSocket).\n";
            return 0;
        }
    }
    try {
        Tango::Util *util = Tango::Util::init(argc, argv);
        util->server_init(false);
        std::cout << "Ready to accept request" << std::endl;
        util->server_run();
    } catch (const std::bad_alloc &) {
        std::cerr << "mirastellon-tango: out of memory" << std::endl;
        return 1;
    } catch (const CORBA::Exception &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    Tango::Util::instance()->server_cleanup();
    return 0;
}
