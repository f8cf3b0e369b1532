// mirastellon-tango: the stage as a Tango device, through the running panel's control socket.

#include "dvxstage.h"

#include <iostream>

void Tango::DServer::class_factory()
{
    add_class(DvxStageClass::init("DvxStage"));
}

int main(int argc, char *argv[])
{
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
