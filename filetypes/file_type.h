// SPDX-License-Identifier: MIT
#pragma once
// A named file type that registers itself with the framework the first time it is turned into
// text or joined, and withdraws its registration when a property changes or it is released.

#include <memory>
#include <string>

class Picture;
using PictureRef = std::shared_ptr<Picture>;

class FileType;
using FileTypeRef = std::shared_ptr<FileType>;

class FileType {
public:
    FileType() = default;
    FileType(const FileType&) = delete;
    FileType& operator=(const FileType&) = delete;

    virtual PictureRef Icon();  // always nil
    virtual std::string Operator_Convert();
    // Joins with ";" between; a nil FileType raises NilObjectException.
    virtual std::string Operator_Add(const FileTypeRef& other);       // own name first
    virtual std::string Operator_AddRight(const FileTypeRef& other);  // other's name first
    virtual std::string Operator_Add(const std::string& s);
    virtual std::string Operator_AddRight(const std::string& s);

    // Writing a property withdraws the registration; the next conversion or join registers again.
    virtual std::string Extensions();
    virtual void SetExtensions(const std::string& value);
    virtual std::string MacCreator();
    virtual void SetMacCreator(const std::string& value);
    virtual std::string MacType();
    virtual void SetMacType(const std::string& value);
    virtual std::string Name();
    virtual void SetName(const std::string& value);

    virtual ~FileType();  // withdraws the registration

    void Register();
    void Deregister();

private:
    std::string mName;
    std::string mMacCreator;
    std::string mMacType;
    std::string mExtension;
    bool mRegistered = false;
};
