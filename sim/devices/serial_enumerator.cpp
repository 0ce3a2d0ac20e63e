#include "serial_enumerator.h"

namespace sim {

namespace {

struct EnumeratorExtension {
    SerialEnumeratorModel* model;
};

}  // namespace

SerialEnumeratorModel::SerialEnumeratorModel(SerialPortModel& port) : kernel_(Kernel::Current()), port_(port) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\Serenum");
    for (auto& slot : driver_->MajorFunction) slot = Dispatch;
    IoCreateDevice(driver_, sizeof(EnumeratorExtension), nullptr, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                   FALSE, &pdo_);
    static_cast<EnumeratorExtension*>(pdo_->DeviceExtension)->model = this;
    // Requests pass on to the port's stack, so they carry its locations too.
    pdo_->StackSize = static_cast<CCHAR>(port_.Device()->StackSize + 1);
    // The port's buffering method holds for the requests that pass through:
    // the I/O manager builds them by the flags of the device they are sent to.
    pdo_->Flags |= DO_POWER_PAGABLE | (port_.Device()->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO));
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

SerialEnumeratorModel::~SerialEnumeratorModel() {
    IoDeleteDevice(pdo_);
    kernel_.UnloadDriver(driver_);
}

NTSTATUS SerialEnumeratorModel::Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SerialEnumeratorModel::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SerialEnumeratorModel* model = static_cast<EnumeratorExtension*>(DeviceObject->DeviceExtension)->model;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_SERENUM_REMOVE_SELF) {
                model->removeSelf_.push_back(model->kernel_.Now());
                Irp->IoStatus.Information = 0;
                return model->Complete(Irp, STATUS_SUCCESS);
            }
            break;
        case IRP_MJ_PNP: {
            // The bus driver ends every Plug and Play request: those it
            // serves succeed, the others keep the status they came with.
            model->busRequests_.emplace_back(stack->MajorFunction, stack->MinorFunction);
            switch (stack->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                case IRP_MN_REMOVE_DEVICE:
                    return model->Complete(Irp, STATUS_SUCCESS);
                case IRP_MN_QUERY_PNP_DEVICE_STATE:
                    // The state the drivers above built stays as it is.
                    return model->Complete(Irp, Irp->IoStatus.Status == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS
                                                                                               : Irp->IoStatus.Status);
                default: {
                    NTSTATUS status = Irp->IoStatus.Status;
                    IoCompleteRequest(Irp, IO_NO_INCREMENT);
                    return status;
                }
            }
        }
        case IRP_MJ_POWER:
            model->busRequests_.emplace_back(stack->MajorFunction, stack->MinorFunction);
            PoStartNextPowerIrp(Irp);
            return model->Complete(Irp, STATUS_SUCCESS);
        default:
            break;
    }
    // Everything else is the port's: it goes on to the port's stack.
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(model->port_.Device(), Irp);
}

}  // namespace sim
