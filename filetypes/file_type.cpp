// SPDX-License-Identifier: MIT
#include "file_type.h"

#include "platform/framework/file_type_registry.h"
#include "platform/framework/nil_object.h"

PictureRef FileType::Icon()
{
    return nullptr;
}

std::string FileType::Operator_Convert()
{
    Register();
    return Name();
}

std::string FileType::Operator_Add(const FileTypeRef& other)
{
    FileType& right = Use(other);
    Register();
    right.Register();
    return Name() + ";" + right.Name();
}

std::string FileType::Operator_AddRight(const FileTypeRef& other)
{
    FileType& left = Use(other);
    Register();
    left.Register();
    return left.Name() + ";" + Name();
}

std::string FileType::Operator_Add(const std::string& s)
{
    Register();
    return Name() + ";" + s;
}

std::string FileType::Operator_AddRight(const std::string& s)
{
    Register();
    return s + ";" + Name();
}

std::string FileType::Extensions()
{
    return mExtension;
}

void FileType::SetExtensions(const std::string& value)
{
    Deregister();
    mExtension = value;
}

std::string FileType::MacCreator()
{
    return mMacCreator;
}

void FileType::SetMacCreator(const std::string& value)
{
    Deregister();
    mMacCreator = value;
}

std::string FileType::MacType()
{
    return mMacType;
}

void FileType::SetMacType(const std::string& value)
{
    Deregister();
    mMacType = value;
}

std::string FileType::Name()
{
    return mName;
}

void FileType::SetName(const std::string& value)
{
    Deregister();
    mName = value;
}

FileType::~FileType()
{
    Deregister();
}

void FileType::Register()
{
    if (mRegistered) return;
    RuntimeRegisterFileType(mName, mMacCreator, mMacType, mExtension);
    mRegistered = true;
}

void FileType::Deregister()
{
    if (!mRegistered) return;
    RuntimeDeregisterFileType(mName);
    mRegistered = false;
}
